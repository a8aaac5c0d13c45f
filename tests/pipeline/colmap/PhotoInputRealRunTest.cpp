// Photo folders that the real COLMAP program choked on: how pixels are
// stored decides what its reader takes (and so what the check keeps), a link
// loop beside the photos made it abort, and photos of two sizes under one
// shared camera lost half of them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "colmap/COLMAPUtils.hpp"
#include "engines/COLMAPRunner.hpp"
#include "engines/COLMAPVersion.hpp"
#include "engines/ProcessMonitor.hpp"
#include "engines/ProcessRunner.hpp"
#include "generators/SyntheticScene.hpp"
#include "pipeline/PhotoFolderCheck.hpp"
#include "pipeline/PipelineManager.hpp"
#include "pipeline/PipelineTestSupport.hpp"
#include "support/TempDir.hpp"

using namespace tessaron;
using pipeline::PhotoFolderCheck;
using pipeline::PipelineLogStep;
using pipeline::PipelineManager;
using Kind = pipeline::PipelineState::Kind;
using tessaron::testing::RunRecorder;
using tessaron::testing::TempDir;
namespace fs = std::filesystem;

namespace {

std::string colmapPath() {
    const std::string path = engines::COLMAPRunner().colmapPath();
    if (!fs::exists(path)) ADD_FAILURE() << "COLMAP is not installed (looked for " << path << ")";
    return path;
}

// Which files of `folder` COLMAP's feature extraction read, by name.
std::map<std::string, bool> readByCOLMAP(const fs::path& folder, const fs::path& database) {
    engines::ProcessRunner runner;
    std::vector<std::string> help;
    runner.run({.executablePath = colmapPath(), .arguments = {"-h"}}, [&](const std::string& line) { help.push_back(line); });
    const engines::COLMAPVersion version = engines::COLMAPVersion::fromHelpOutput(help);
    std::map<std::string, bool> read;
    std::string current;
    const std::vector<std::string> arguments = {
        "feature_extractor", "--database_path", database.string(), "--image_path", folder.string(),
        version.optionName("--FeatureExtraction.use_gpu"), "0", version.optionName("--FeatureExtraction.num_threads"),
        "2", version.optionName("--FeatureExtraction.max_image_size"), "320"};
    const int32_t status = runner.run({.executablePath = colmapPath(), .arguments = arguments}, [&](const std::string& line) {
        if (auto at = line.find("Name:"); at != std::string::npos) {
            current = line.substr(line.find_first_not_of(' ', at + 5));
            read[current] = false;
        } else if (line.find("Dimensions:") != std::string::npos && !current.empty()) {
            read[current] = true;
        }
    });
    EXPECT_EQ(status, 0);
    return read;
}

class RealPhotoRun : public ::testing::Test {
protected:
    void SetUp() override {
        manager_ = PipelineManager::create(monitor_, tessaron::testing::testConfiguration(folder_ / "support"));
        recorder_.attach(*manager_);
        // COLMAP is what is tested: stop once its model is there.
        tessaron::testing::changeCallbacks(*manager_, [this](PipelineManager::Callbacks& callbacks) {
            callbacks.onStateChange = [this, recorded = callbacks.onStateChange](const pipeline::PipelineState& state) {
                recorded(state);
                if (state.kind == Kind::preparingData && stopAfterCOLMAP_) manager_->cancel();
            };
        });
    }

    void run() {
        PipelineManager::RunParameters parameters;
        parameters.inputURL = photos_;
        parameters.workspaceURL = workspace_;
        parameters.useVastGaussian = false;
        parameters.ramLimitGB = 64;
        parameters.iterations = 200;
        manager_->runPipeline(parameters);
        ASSERT_TRUE(recorder_.loggedAs(PipelineLogStep::sfm, "✓ COLMAP pipeline completed successfully."))
            << (recorder_.states().empty() ? "" : recorder_.states().back().message);
    }

    // The index of the first logged line that starts with `text`.
    size_t firstLogged(const std::string& text) const {
        const auto& log = recorder_.log();
        return size_t(std::find_if(log.begin(), log.end(), [&](const auto& entry) { return entry.text.starts_with(text); }) -
                      log.begin());
    }

    bool stopAfterCOLMAP_ = true;
    TempDir folder_{"photo-input-real"};
    fs::path photos_ = folder_ / "photos";
    fs::path workspace_ = folder_ / "output" / "Tessaron_workspace";
    std::shared_ptr<engines::ProcessMonitor> monitor_ = std::make_shared<engines::ProcessMonitor>();
    std::shared_ptr<PipelineManager> manager_;
    RunRecorder recorder_;
};

}  // namespace

// The same two photos stored in each form: COLMAP reads a form exactly when
// the check keeps it. A JPEG cut in half is the one exception, on purpose:
// COLMAP reads it and greys out the missing half; the check leaves it out.
TEST(COLMAPReader, ReadsWhatTheCheckKeeps) {
    TempDir folder("colmap-reader");
    const std::vector<fs::path> rendered = generators::renderScene(folder / "rendered", 2, {.width = 320, .height = 240});
    const fs::path photos = folder / "photos";
    fs::create_directories(photos);
    struct Form {
        const char* suffix;
        int depth;
        int channels;
        std::vector<int> options;
    };
    const std::vector<Form> forms = {
        {"grey.png", CV_8U, 1, {}},           {"colour.png", CV_8U, 3, {}},        {"rgba.png", CV_8U, 4, {}},
        {"grey16.png", CV_16U, 1, {}},        {"colour16.png", CV_16U, 3, {}},     {"rgba16.png", CV_16U, 4, {}},
        {"colour.tif", CV_8U, 3, {}},         {"grey16.tif", CV_16U, 1, {}},       {"colour16.tif", CV_16U, 3, {}},
        {"float.tif", CV_32F, 1, {}},         {"colour-float.tif", CV_32F, 3, {}}, {"grey.jpg", CV_8U, 1, {}},          {"grey.bmp", CV_8U, 1, {}},
        {"rgba.bmp", CV_8U, 4, {}},           {"progressive.jpg", CV_8U, 3, {cv::IMWRITE_JPEG_PROGRESSIVE, 1}},
    };
    for (size_t view = 0; view < rendered.size(); ++view) {
        const cv::Mat colour = cv::imread(rendered[view].string());
        for (const Form& form : forms) {
            cv::Mat shaped = colour;
            if (form.channels == 1) cv::extractChannel(colour, shaped, 1);
            if (form.channels == 4) cv::merge(std::vector<cv::Mat>{colour, cv::Mat(colour.size(), CV_8U, cv::Scalar(255))}, shaped);
            cv::Mat stored;
            shaped.convertTo(stored, form.depth, form.depth == CV_16U ? 257 : form.depth == CV_32F ? 1 / 255.0 : 1);
            ASSERT_TRUE(cv::imwrite((photos / (std::to_string(view) + "_" + form.suffix)).string(), stored, form.options));
        }
    }
    std::vector<uchar> jpeg;
    cv::imencode(".jpg", cv::imread(rendered[0].string()), jpeg);
    jpeg.resize(jpeg.size() / 2);
    tessaron::testing::writeTextFile(photos / "cut.jpg", std::string(jpeg.begin(), jpeg.end()));

    const PhotoFolderCheck::Result check = PhotoFolderCheck::require(photos, folder / "out");
    std::map<std::string, bool> kept;
    for (const auto& photo : check.kept) kept[photo.path.filename().string()] = true;
    for (const auto& photo : check.leftOut) kept[photo.photo.filename().string()] = false;
    std::map<std::string, bool> read = readByCOLMAP(photos, folder / "database.db");
    ASSERT_EQ(read.size(), kept.size());
    EXPECT_TRUE(read["cut.jpg"]);
    EXPECT_FALSE(kept["cut.jpg"]);
    read.erase("cut.jpg");
    kept.erase("cut.jpg");
    EXPECT_EQ(kept, read);
}

// Two links pointing at each other beside the photos made COLMAP abort as
// it listed the folder ("Feature extraction failed (exit -6)"): it now
// reads links to the kept photos only, and reconstructs them.
TEST_F(RealPhotoRun, ALinkLoopBesideThePhotosIsLeftOut) {
    generators::renderScene(photos_, 16);
    fs::create_symlink("loop_b.jpg", photos_ / "loop_a.jpg");
    fs::create_symlink("loop_a.jpg", photos_ / "loop_b.jpg");
    run();
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::sfm,
                                   "⚠ 2 of 18 photos cannot be read and are left out: loop_a.jpg (Too many levels of "
                                   "symbolic links), loop_b.jpg (Too many levels of symbolic links)"));
    const auto model = colmap::COLMAPUtils::readModel(workspace_ / "colmap" / "sparse" / "0");
    EXPECT_GE(model.images.size(), 12u);
    for (const auto& [id, image] : model.images) EXPECT_TRUE(fs::exists(photos_ / image.name)) << image.name;
}

// Eight photos of 320 × 240 and eight of 640 × 480 under the default single
// camera: COLMAP took only those of the first one's size. Each photo now
// gets a camera of its own, and both sizes are reconstructed.
TEST_F(RealPhotoRun, PhotosOfTwoSizesAreAllReconstructed) {
    const std::vector<fs::path> small = generators::renderScene(
        folder_ / "small", 8, {.width = 320, .height = 240, .focalLength = 280, .arcDegrees = 56});
    const std::vector<fs::path> large = generators::renderScene(folder_ / "large", 8, {.arcDegrees = 64});
    fs::create_directories(photos_);
    for (size_t index = 0; index < 8; ++index) {
        fs::rename(small[index], photos_ / ("small_" + std::to_string(index) + ".jpg"));
        fs::rename(large[index], photos_ / ("large_" + std::to_string(index) + ".jpg"));
    }
    run();
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::sfm,
                                   "⚠ The photos come in 2 sizes (8 of 320 × 240, 8 of 640 × 480) and one shared camera "
                                   "takes one size only: each photo gets a camera of its own (Single Camera Mode is set "
                                   "aside for this run)."));
    const auto model = colmap::COLMAPUtils::readModel(workspace_ / "colmap" / "sparse" / "0");
    size_t smallImages = 0, largeImages = 0;
    for (const auto& [id, image] : model.images) (image.name.starts_with("small_") ? smallImages : largeImages) += 1;
    EXPECT_GE(smallImages, 6u);
    EXPECT_GE(largeImages, 6u);
}

// Eight photos at the top of the folder, four more in extra/ and four as
// WebP: COLMAP is given the top's JPEGs, as the folder's photos are
// counted, and the run names the other eight, by reason, before COLMAP
// starts.
TEST_F(RealPhotoRun, PhotosCOLMAPIsNotGivenAreNamedBeforeItStarts) {
    const std::vector<fs::path> rendered = generators::renderScene(photos_, 16);
    fs::create_directories(photos_ / "extra");
    for (size_t index = 8; index < 16; ++index) {
        const fs::path& photo = rendered[index];
        if (index < 12) {
            fs::rename(photo, photos_ / "extra" / photo.filename());
        } else {
            ASSERT_TRUE(cv::imwrite(fs::path(photo).replace_extension(".webp").string(), cv::imread(photo.string())));
            fs::remove(photo);
        }
    }
    run();
    const std::string warning =
        "⚠ 8 files that look like photos are not given to COLMAP: 4 in a subfolder, which is not read when the folder "
        "itself holds photos (extra/image_008.jpg, extra/image_009.jpg, extra/image_010.jpg and 1 more); 4 with an "
        "extension the run does not take, only .bmp, .jpeg, .jpg, .png, .tif and .tiff (image_012.webp, "
        "image_013.webp, image_014.webp and 1 more).";
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::sfm, warning));
    EXPECT_LT(firstLogged(warning), firstLogged("Hardware: "));
    const auto model = colmap::COLMAPUtils::readModel(workspace_ / "colmap" / "sparse" / "0");
    EXPECT_GE(model.images.size(), 6u);
    for (const auto& [id, image] : model.images) EXPECT_LT(image.name, "image_008.jpg");
}

// COLMAP recorded "back\slash.jpg" as "back/slash.jpg", which training then
// could not find, after minutes of COLMAP: such a name is left out, with
// its reason, and the run goes on to its model.
TEST_F(RealPhotoRun, ANameCOLMAPWouldReadAsAPathIsLeftOutAndTheRunCompletes) {
    const std::vector<fs::path> rendered = generators::renderScene(photos_, 10);
    fs::rename(rendered.back(), photos_ / "back\\slash.jpg");
    stopAfterCOLMAP_ = false;
    run();
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::sfm,
                                   "⚠ 1 file that looks like a photo is not given to COLMAP: 1 with a name COLMAP "
                                   "would read as a path, as it holds a backslash (back\\slash.jpg)."));
    ASSERT_FALSE(recorder_.states().empty());
    EXPECT_EQ(recorder_.states().back(), Kind::completed) << recorder_.states().back().message;
    for (const auto& [id, image] : colmap::COLMAPUtils::readModel(workspace_ / "colmap" / "sparse" / "0").images)
        EXPECT_TRUE(fs::exists(photos_ / image.name)) << image.name;
}
