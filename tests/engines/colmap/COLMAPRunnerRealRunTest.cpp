// COLMAPRunner driving the real COLMAP program on rendered scenes. Each test
// is one small reconstruction; together they stay within a few minutes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/AvailableCPUs.hpp"
#include "core/Error.hpp"
#include "engines/COLMAPRunner.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "engines/ProcessRunner.hpp"
#include "input/RigCropLayout.hpp"
#include "generators/SyntheticScene.hpp"
#include "support/TempDir.hpp"

using namespace tessaron::colmap;
using namespace tessaron::engines;
using tessaron::generators::CameraPath;
using tessaron::testing::readTextFile;
using tessaron::generators::renderScene;
using tessaron::generators::SceneOptions;
using tessaron::testing::TempDir;
using ::testing::Contains;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

class RealCOLMAPRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(runner_.colmapPath()))
            << "COLMAP is not installed (looked for " << runner_.colmapPath() << "); run scripts/setup.sh";
        runner_.onLog = [this](const std::string& line) {
            std::lock_guard lock(logMutex_);
            log_.push_back(line);
        };
    }

    std::string images() const { return (workspace_ / "images").string(); }
    std::string output() const { return (workspace_ / "colmap").string(); }

    std::vector<std::string> log() {
        std::lock_guard lock(logMutex_);
        return log_;
    }

    // The runner's own lines, in order, without COLMAP's output.
    std::vector<std::string> runnerLines() {
        std::vector<std::string> own;
        for (const std::string& line : log()) {
            if (line.starts_with("Hardware: ") || line.starts_with("═══") || line.starts_with("✓ ") ||
                line.starts_with("⚠ ") || line.starts_with("Loop closure: ") || line.starts_with("Match plan: "))
                own.push_back(line);
        }
        return own;
    }

    // A count that `colmap model_analyzer` reports ("Registered images: 16"),
    // with or without glog's prefix; -1 when absent.
    long analyzerCount(const std::string& model, const std::string& label) {
        ProcessRunner process;
        std::vector<std::string> lines;
        std::mutex linesMutex;
        int32_t status = process.run({.executablePath = runner_.colmapPath(),
                                      .arguments = {"model_analyzer", "--path", model},
                                      .environment = std::map<std::string, std::string>{{"GLOG_log_dir", output()}}},
                                     [&](const std::string& line) {
                                         std::lock_guard lock(linesMutex);
                                         lines.push_back(line);
                                     });
        EXPECT_EQ(status, 0);
        for (const std::string& line : lines) {
            size_t prefixEnd = line.find("] ");
            std::string text = prefixEnd == std::string::npos ? line : line.substr(prefixEnd + 2);
            if (text.starts_with(label + ": ")) return std::stol(text.substr(label.size() + 2));
        }
        return -1;
    }

    TempDir workspace_{"colmap-real"};
    COLMAPRunner runner_;
    std::mutex logMutex_;
    std::vector<std::string> log_;
};

std::string hardwareLine(const COLMAPRunner& runner) {
    return "Hardware: " + std::to_string(tessaron::core::availableCPUs()) + " cores, using " +
           std::to_string(runner.maxThreads()) + " threads";
}

}  // namespace

// Debian's COLMAP has no CUDA and its SIFT would take the display's GPU and
// abort: a GPU request must still run, on the CPU, and the banner says so.
TEST_F(RealCOLMAPRun, SequentialPhotoRunRegistersEveryImageAndLeavesSnapshots) {
    SceneOptions scene;
    scene.path = CameraPath::sideways;
    renderScene(images(), 16, scene);
    const std::string snapshots = output() + "/snapshots";

    runner_.run({.imagePath = images(), .outputPath = output(), .sequentialMatching = true, .snapshotPath = snapshots});

    EXPECT_THAT(runnerLines(),
                ::testing::ElementsAre(hardwareLine(runner_), "═══ Step 1/3: Feature Extraction (CPU SIFT) ═══",
                                       "═══ Step 2/3: Sequential Matching ═══",
                                       "Loop closure: disabled (no vocab tree at nil — sequential-only matching)",
                                       "═══ Step 3/3: Incremental Reconstruction (recommended) ═══",
                                       "✓ COLMAP pipeline completed successfully."));
    EXPECT_EQ(analyzerCount(output() + "/sparse/0", "Registered images"), 16);

    int numberedSnapshots = 0;
    for (const auto& entry : fs::directory_iterator(snapshots)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_directory() && std::all_of(name.begin(), name.end(), ::isdigit) &&
            fs::exists(entry.path() / "images.bin"))
            ++numberedSnapshots;
    }
    EXPECT_GE(numberedSnapshots, 1);

    // glog's files stay with the run.
    int glogFiles = 0;
    for (const auto& entry : fs::directory_iterator(output()))
        if (entry.path().filename().string().starts_with("colmap.")) ++glogFiles;
    EXPECT_GE(glogFiles, 1);
}

TEST_F(RealCOLMAPRun, UnrelatedPhotosFailInTheMapper) {
    SceneOptions scene;
    scene.unrelatedViews = true;
    renderScene(images(), 8, scene);
    try {
        runner_.run({.imagePath = images(), .outputPath = output(), .useGPU = false});
        FAIL() << "unrelated photos reconstructed";
    } catch (const COLMAPRunner::COLMAPError& error) {
        EXPECT_STREQ(error.what(), "Sparse reconstruction failed (exit 1)");
        // COLMAP's own last error line, which the log holds too.
        EXPECT_EQ(error.describedWithCause(), "Sparse reconstruction failed (exit 1): failed to create sparse model");
    }
    EXPECT_THAT(log(), Contains("ERROR: failed to create sparse model"));
    EXPECT_THAT(log(), ::testing::Not(Contains("✓ COLMAP pipeline completed successfully.")));
}

TEST_F(RealCOLMAPRun, CancelDuringMatchingTerminatesTheMatcher) {
    renderScene(images(), 8);
    std::atomic<bool> matching = false;
    runner_.onLog = [this, &matching](const std::string& line) {
        {
            std::lock_guard lock(logMutex_);
            log_.push_back(line);
        }
        // The first line the matcher itself prints: it is running now.
        if (matching) runner_.runner().cancel();
        if (line.starts_with("═══ Step 2/3")) matching = true;
    };
    try {
        runner_.run({.imagePath = images(), .outputPath = output(), .useGPU = false});
        FAIL() << "the run was not cancelled";
    } catch (const COLMAPRunner::COLMAPError& error) {
        EXPECT_STREQ(error.what(), "Feature matching failed (exit -15)");
    }
    // The latch holds until the owner clears it: the next run starts nothing.
    EXPECT_THROW(runner_.run({.imagePath = images(), .outputPath = output(), .useGPU = false}),
                 tessaron::core::CancellationError);
}

// Two cameras turned apart from one centre, as the crops of a panorama are.
TEST_F(RealCOLMAPRun, TwoCameraRigReconstructsWithTwoPinholeCameras) {
    SceneOptions scene;
    scene.path = CameraPath::sideways;
    scene.rigYawDegrees = {-22, 22};
    scene.rigCropSize = 480;
    renderScene(images(), 10, scene);

    namespace rig = tessaron::input::rig;
    Rig360Config config;
    config.layout.cameraCount = 2;
    config.layout.referenceCameraName = "cam0";
    config.layout.cameraParams = rig::pinholeParamsText(scene.focalLength, scene.rigCropSize / 2.0);
    config.layout.rigConfigJSON = [] {
        nlohmann::json cameras = nlohmann::json::array();
        cameras.push_back({{"image_prefix", "cam0/"}, {"ref_sensor", true}});
        cameras.push_back({{"image_prefix", "cam1/"}});
        return rig::prettyJSON(nlohmann::json::array({{{"cameras", cameras}}}));
    };
    config.layout.matchPairLines = [](const std::vector<std::string>& frames) {
        return rig::matchPairLines({0, 1}, {tessaron::input::CameraPairKey::of(0, 1)}, frames, 4);
    };

    runner_.run({.imagePath = images(), .outputPath = output(), .useGPU = false, .rig = config});

    const std::string pairs = readTextFile(output() + "/match_pairs.txt");
    const long pairLines = std::count(pairs.begin(), pairs.end(), '\n');
    EXPECT_THAT(runnerLines(), Contains("═══ Rig configuration (2 virtual cameras) ═══"));
    EXPECT_THAT(runnerLines(), Contains("═══ Step 2/3: Rig Pair Matching (matches_importer) ═══"));
    EXPECT_THAT(runnerLines(), Contains("Match plan: 10 rig frames × 2 crops → " + std::to_string(pairLines) + " pairs"));
    EXPECT_THAT(runnerLines(), Contains("✓ COLMAP pipeline completed successfully."));
    EXPECT_TRUE(fs::exists(output() + "/rig_config.json"));

    const CameraMap cameras = COLMAPUtils::readCameras(output() + "/sparse/0/cameras.bin");
    ASSERT_EQ(cameras.size(), 2u);
    for (const auto& [id, camera] : cameras) {
        EXPECT_EQ(camera.modelId, 1) << "camera " << id << " is not PINHOLE";
        EXPECT_EQ(camera.width, 480u);
        EXPECT_THAT(camera.params, ::testing::ElementsAre(scene.focalLength, scene.focalLength, 240.0, 240.0));
    }
    EXPECT_EQ(COLMAPUtils::readImages(output() + "/sparse/0/images.bin").size(), 20u);
}
