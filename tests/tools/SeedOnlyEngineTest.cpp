// The engine program the tests run (tests/support/engine), in seed-only
// mode as this folder's tests set it: the engine's own checks of its
// command line, model, photos and output, the seeds it writes, its
// statistics lines, and the knobs that make it fail on purpose.
#include <gtest/gtest.h>

#include "colmap/CellNormTransform.hpp"

#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
// GCC 12 reports std::regex's own internals as maybe-uninitialized when
// sanitizers are on (a known false positive).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include "engines/PLYCheck.hpp"
#include "engines/ProcessRunner.hpp"
#include "engines/TrevikRunner.hpp"
#include "support/Fifo.hpp"
#include "support/SeedOnlyTestEngine.hpp"
#include "support/SyntheticDataset.hpp"
#include "support/TempDir.hpp"
#include "trevik/GaussianPlyWriter.hpp"
#include "trevik/GaussianSeeder.hpp"

using tessaron::engines::PLYCheck;
using tessaron::engines::ProcessRunner;
using tessaron::engines::TrevikRunner;
using tessaron::colmap::COLMAPModel;
using tessaron::colmap::COLMAPUtils;
using tessaron::testing::readTextFile;
using tessaron::testing::SyntheticDataset;
using tessaron::testing::TempDir;
using tessaron::trevik::GaussianPlyWriter;
using tessaron::trevik::GaussianSeeder;

namespace fs = std::filesystem;

namespace {

struct Result {
    int32_t status = 0;
    std::vector<std::string> lines;

    std::vector<std::string> matching(const std::string& pattern) const {
        std::vector<std::string> found;
        std::regex expression(pattern);
        for (const auto& line : lines)
            if (std::regex_search(line, expression)) found.push_back(line);
        return found;
    }
};

float floatAt(const std::string& bytes, size_t offset) {
    float value;
    std::memcpy(&value, bytes.data() + offset, 4);  // the test machines are little-endian
    return value;
}

size_t entriesIn(const fs::path& folder) {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++count;
    return count;
}

class SeedOnlyEngine : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(fs::exists(engine)) << "build the trevik_test_engine target first"; }

    // The engine's command line, as the runner builds it.
    std::vector<std::string> command(const fs::path& datasetFolder, int iterations, int64_t capMax,
                                     bool evalMode = false) const {
        return TrevikRunner::arguments({.datasetPath = datasetFolder.string(),
                                        .outputPath = output.string(),
                                        .iterations = iterations,
                                        .evalMode = evalMode,
                                        .capMax = capMax,
                                        .cullRadius = 0.0f,
                                        .earlyStop = evalMode ? std::optional<double>(0.05) : std::nullopt});
    }

    Result run(const std::vector<std::string>& arguments, std::map<std::string, std::string> environment = {}) {
        Result result;
        std::mutex mutex;
        ProcessRunner runner;
        result.status = runner.run({.executablePath = engine.string(), .arguments = arguments, .environment = environment},
                                   [&](const std::string& line) {
                                       std::lock_guard lock(mutex);
                                       result.lines.push_back(line);
                                   });
        return result;
    }

    fs::path engine = TESSARON_TEST_ENGINE_PATH;
    TempDir folder;
    fs::path dataset = folder / "dataset";
    fs::path output = folder / "output.partial.ply";
};

}  // namespace

TEST_F(SeedOnlyEngine, SeedsOneGaussianPerPointInIdOrder) {
    auto points = SyntheticDataset::latticePoints(300);
    SyntheticDataset::write(dataset, 10, points);
    Result result = run(command(dataset, 7000, 1000000));
    ASSERT_EQ(result.status, 0) << ::testing::PrintToString(result.lines);

    const PLYCheck::Layout layout = PLYCheck::validate(output);
    EXPECT_EQ(layout.vertexCount, 300);
    EXPECT_EQ(layout.bytesPerVertex, int64_t(GaussianPlyWriter::bytesPerVertex));
    std::string bytes = readTextFile(output);
    std::string header = GaussianPlyWriter::header(300);
    ASSERT_EQ(bytes.size(), header.size() + 300 * GaussianPlyWriter::bytesPerVertex);
    ASSERT_EQ(bytes.substr(0, header.size()), header);
    // Positions are written in the dataset's normalised frame, the one the
    // merge maps back from.
    auto frame = tessaron::colmap::CellNormTransform::estimate(dataset / "sparse" / "0");
    ASSERT_TRUE(frame.has_value());
    ASSERT_NE(frame->scale, 1.0);
    size_t vertex = 0;
    for (const auto& [id, point] : points) {
        size_t offset = header.size() + vertex++ * GaussianPlyWriter::bytesPerVertex;
        EXPECT_EQ(floatAt(bytes, offset), float((point.x - frame->translation.x) * frame->scale));
        EXPECT_EQ(floatAt(bytes, offset + 4), float((point.y - frame->translation.y) * frame->scale));
        EXPECT_EQ(floatAt(bytes, offset + 8), float((point.z - frame->translation.z) * frame->scale));
        EXPECT_EQ(floatAt(bytes, offset + 24), GaussianSeeder::colourToDC(point.r));
        EXPECT_EQ(floatAt(bytes, offset + 28), GaussianSeeder::colourToDC(point.g));
        EXPECT_EQ(floatAt(bytes, offset + 32), GaussianSeeder::colourToDC(point.b));
        // On the 0.1 lattice the three nearest neighbours are at 0.1.
        EXPECT_NEAR(floatAt(bytes, offset + 55 * 4), std::log(0.1 * frame->scale), 1e-5);
        EXPECT_EQ(floatAt(bytes, offset + 58 * 4), 1.0f);
    }
    EXPECT_EQ(entriesIn(folder.path()), 2u) << "the dataset and the PLY, no temporary";
}

TEST_F(SeedOnlyEngine, PrintsAboutTenStatisticsLinesEndingAtTheLastStep) {
    SyntheticDataset::write(dataset, 10, SyntheticDataset::latticePoints(1234));
    Result result = run(command(dataset, 7000, 1000000));
    ASSERT_EQ(result.status, 0);
    std::vector<std::string> stats = result.matching("step=");
    ASSERT_EQ(stats.size(), 10u);
    std::regex shape(R"(step=\d+ loss=\S+ splats=1,234 \d+\.\dms/step)");
    for (const auto& line : stats) EXPECT_TRUE(std::regex_match(line, shape)) << line;
    EXPECT_TRUE(stats.front().starts_with("step=700 "));
    EXPECT_TRUE(stats.back().starts_with("step=7000 "));

    TrevikRunner parser("unused");
    std::vector<int64_t> steps;
    parser.onStats = [&](int64_t step, int64_t splats, float) {
        steps.push_back(step);
        EXPECT_EQ(splats, 1234);
    };
    for (const auto& line : result.lines) parser.parseStats(line);
    ASSERT_EQ(steps.size(), 10u);
    EXPECT_EQ(steps.back(), 7000);
    EXPECT_TRUE(result.matching("psnr|PSNR").empty());
}

TEST_F(SeedOnlyEngine, EvaluationEndsWithAPsnrLineThePipelineReads) {
    SyntheticDataset::write(dataset, 10, SyntheticDataset::latticePoints(20));
    Result result = run(command(dataset, 100, 1000000, true), {{"TESSARON_TEST_ENGINE_PSNR", "14.99"}});
    ASSERT_EQ(result.status, 0);
    std::regex psnr("psnr[=: ]+([0-9]+\\.?[0-9]*)", std::regex::icase);
    std::vector<std::string> values;
    for (const auto& line : result.lines) {
        std::smatch match;
        if (std::regex_search(line, match, psnr)) values.push_back(match[1]);
    }
    EXPECT_EQ(values, std::vector<std::string>{"14.99"});
}

namespace {

struct CapCase {
    size_t points;
    int64_t capMax;
    size_t vertices;
};

class SeedOnlyEngineCap : public SeedOnlyEngine, public ::testing::WithParamInterface<CapCase> {};

void PrintTo(const CapCase& cap, std::ostream* out) {
    *out << cap.points << " points, cap " << cap.capMax << ": " << cap.vertices << " Gaussians";
}

}  // namespace

TEST_P(SeedOnlyEngineCap, SubsamplesToHalfTheCapAboveThreeQuarters) {
    SyntheticDataset::write(dataset, 10, SyntheticDataset::latticePoints(GetParam().points));
    Result result = run(command(dataset, 10, GetParam().capMax));
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(fs::file_size(output),
              GaussianPlyWriter::header(GetParam().vertices).size() + GetParam().vertices * GaussianPlyWriter::bytesPerVertex);
    bool subsampled = GetParam().vertices < GetParam().points;
    EXPECT_EQ(result.matching("^\\[mcmc\\] init points").size(), subsampled ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Caps, SeedOnlyEngineCap,
                         ::testing::Values(CapCase{100, 134, 100}, CapCase{100, 133, 66}, CapCase{100, 120, 60},
                                           CapCase{3, 1, 1}));

TEST_F(SeedOnlyEngine, MissingImageFails) {
    SyntheticDataset::write(dataset, 10, SyntheticDataset::latticePoints(20));
    fs::path missing = dataset / "images" / SyntheticDataset::imageName(4);
    fs::remove(missing);
    Result result = run(command(dataset, 10, 1000000));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.matching("^error: "), std::vector<std::string>{"error: image not found: " + missing.string()});
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(SeedOnlyEngine, ModelWithoutPointsFails) {
    SyntheticDataset::write(dataset, 10, {});
    Result result = run(command(dataset, 10, 1000000));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.matching("^error: .*has no 3D points").size(), 1u);
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(SeedOnlyEngine, MissingModelFails) {
    fs::create_directories(dataset);
    Result result = run(command(dataset, 10, 1000000));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.matching("^error: could not read the COLMAP model").size(), 1u);
}

TEST_F(SeedOnlyEngine, WrongCommandLinePrintsUsageAndExitsTwo) {
    for (const auto& arguments : {std::vector<std::string>{"ds", "-n", "5", "-o", "o", "--cap-max", "9", "--fast"},
                                  std::vector<std::string>{"ds", "-n", "5", "-o", "o", "--cap-max"},
                                  std::vector<std::string>{}}) {
        Result result = run(arguments);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.matching("^usage: trevik ").size(), 1u);
        EXPECT_EQ(result.matching("^trevik: ").size(), 1u);
    }
}

TEST_F(SeedOnlyEngine, OutOfMemoryMessageMatchesWhatThePipelineLooksFor) {
    SyntheticDataset::write(dataset, 10, SyntheticDataset::latticePoints(20));
    Result fits = run(command(dataset, 10, 50000), {{"TESSARON_TEST_ENGINE_MEMORY_LIMIT_GB", "1.0"}});
    EXPECT_EQ(fits.status, 0);

    fs::remove(output);
    Result result = run(command(dataset, 10, 1000000), {{"TESSARON_TEST_ENGINE_MEMORY_LIMIT_GB", "1.0"}});
    EXPECT_EQ(result.status, 1);
    // 640 x 480, 10 images, a million Gaussians need about 2.3 GB.
    EXPECT_EQ(result.matching("^error: out of memory: this model needs about 2\\.3 GB, the limit is 1\\.0 GB").size(), 1u);
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(SeedOnlyEngine, ForcedFailureHitsOnlyTheNamedDataset) {
    fs::path cell2 = folder / "partitions" / "cell_2", cell3 = folder / "partitions" / "cell_3";
    SyntheticDataset::write(cell2, 10, SyntheticDataset::latticePoints(20));
    SyntheticDataset::write(cell3, 10, SyntheticDataset::latticePoints(20));
    std::map<std::string, std::string> environment = {{"TESSARON_TEST_ENGINE_FAIL_DATASET", "cell_2"}};
    Result failed = run(command(cell2, 10, 1000000), environment);
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.matching("^error: forced failure for dataset cell_2").size(), 1u);
    EXPECT_TRUE(failed.matching("out of memory|OutOfMemory|bad_alloc|failed to allocate|Insufficient Memory").empty());
    EXPECT_FALSE(fs::exists(output));
    EXPECT_EQ(run(command(cell3, 10, 1000000), environment).status, 0);
}

TEST_F(SeedOnlyEngine, ForcedTruncationKeepsTheFullHeaderAndHalfTheBody) {
    SyntheticDataset::write(dataset, 10, SyntheticDataset::latticePoints(20));
    Result result = run(command(dataset, 10, 1000000), {{"TESSARON_TEST_ENGINE_TRUNCATE_DATASET", "dataset"}});
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.matching("^warning: "), std::vector<std::string>{"warning: wrote a truncated PLY on purpose "
                                                                      "(TESSARON_TEST_ENGINE_TRUNCATE_DATASET)"});
    EXPECT_TRUE(result.matching("^Saved ").empty());
    std::string bytes = readTextFile(output);
    std::string header = GaussianPlyWriter::header(20);
    EXPECT_EQ(bytes.size(), header.size() + 20 * GaussianPlyWriter::bytesPerVertex / 2);
    EXPECT_EQ(bytes.substr(0, header.size()), header);
    EXPECT_EQ(entriesIn(folder.path()), 2u) << "the dataset and the PLY, no temporary";
}

TEST_F(SeedOnlyEngine, UnwritableOutputFails) {
    SyntheticDataset::write(dataset, 10, SyntheticDataset::latticePoints(20));
    output = folder / "absent" / "out.ply";
    Result result = run(command(dataset, 10, 1000000));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.matching("^error: could not create ").size(), 1u);
    EXPECT_FALSE(fs::exists(folder / "absent"));
}

TEST_F(SeedOnlyEngine, AnOutputThatCannotBeWrittenFailsBeforeTheFirstStep) {
    SyntheticDataset::write(dataset, 10, SyntheticDataset::latticePoints(20));
    // Root writes into read-only folders: a path through a regular file and
    // a folder fail for anyone.
    tessaron::testing::writeTextFile(folder / "file", "");
    fs::create_directory(folder / "folder.ply");
    fs::create_symlink("/dev/null", folder / "null.ply");
    tessaron::testing::makeFifo(folder / "fifo.ply");
    const std::vector<std::pair<fs::path, std::string>> cases = {
        {folder / "file" / "out.ply", "Not a directory"},
        {folder / "folder.ply", "Is a directory"},
        {folder / "null.ply", "is a character device, not a regular file"},
        {folder / "fifo.ply", "is a FIFO, not a regular file"},
    };
    for (const auto& [target, reason] : cases) {
        output = target;
        Result result = run(command(dataset, 10, 1000000));
        EXPECT_EQ(result.status, 1) << target;
        EXPECT_EQ(result.matching("^error: "),
                  std::vector<std::string>{"error: could not create the output " + target.string() + ": " + reason});
        EXPECT_TRUE(result.matching("^step=").empty()) << target;
    }
    // Nothing there was replaced, least of all the system's /dev/null.
    EXPECT_TRUE(fs::is_directory(folder / "folder.ply"));
    EXPECT_TRUE(fs::is_symlink(folder / "null.ply"));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    EXPECT_TRUE(fs::is_fifo(folder / "fifo.ply"));
    EXPECT_EQ(entriesIn(folder.path()), 5u);

    // A symbolic link to a regular file is followed, and the link stays.
    tessaron::testing::writeTextFile(folder / "models" / "old.ply", "old");
    fs::create_symlink(folder / "models" / "old.ply", folder / "link.ply");
    output = folder / "link.ply";
    EXPECT_EQ(run(command(dataset, 10, 1000000)).status, 0);
    EXPECT_TRUE(fs::is_symlink(folder / "link.ply"));
    EXPECT_EQ(PLYCheck::validate(folder / "models" / "old.ply").vertexCount, 20);
}

TEST_F(SeedOnlyEngine, APhotoThatIsNotARegularFileIsRefusedByName) {
    SyntheticDataset::write(dataset, 10, SyntheticDataset::latticePoints(20));
    fs::path photo = dataset / "images" / SyntheticDataset::imageName(3);
    fs::remove(photo);
    tessaron::testing::makeFifo(photo);
    Result result = run(command(dataset, 10, 1000000));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.matching("^error: "), std::vector<std::string>{"error: cannot read image " + photo.string() +
                                                                    ": is a FIFO, not a regular file"});
    EXPECT_FALSE(fs::exists(output));
}

namespace {

struct BrokenModel {
    std::string name;
    std::function<void(COLMAPModel&)> breakModel;
    std::string error;
};

class SeedOnlyEngineBrokenModel : public SeedOnlyEngine, public ::testing::WithParamInterface<BrokenModel> {};

void PrintTo(const BrokenModel& broken, std::ostream* out) { *out << broken.name; }

}  // namespace

// A camera or pose that is not finite rendered nothing, a perfect fit to
// nothing: the run passed for a success.
TEST_P(SeedOnlyEngineBrokenModel, IsRefusedNamingTheCameraOrImage) {
    SyntheticDataset::write(dataset, 10, SyntheticDataset::latticePoints(20));
    COLMAPModel model = COLMAPUtils::readModel(dataset / "sparse" / "0");
    GetParam().breakModel(model);
    COLMAPUtils::writeModel(model, dataset / "sparse" / "0");
    Result result = run(command(dataset, 10, 1000000, true));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.matching("^error: "), std::vector<std::string>{"error: " + GetParam().error});
    EXPECT_TRUE(result.matching("PSNR").empty());
    EXPECT_FALSE(fs::exists(output));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SeedOnlyEngineBrokenModel,
    ::testing::Values(
        BrokenModel{"NaNFocalLength", [](COLMAPModel& model) { model.cameras[1].params[0] = std::nan(""); },
                    "camera 1 has parameter 1 of 4 = nan, not a finite number"},
        BrokenModel{"NegativeFocalLength", [](COLMAPModel& model) { model.cameras[1].params[1] = -500; },
                    "camera 1 has a focal length of -500.0, not a positive number"},
        BrokenModel{"NoHeight", [](COLMAPModel& model) { model.cameras[1].height = 0; },
                    "camera 1 is 640 × 0 pixels: a camera needs a width and a height of 1 to 1048576, and at most "
                    "1073741824 pixels"},
        BrokenModel{"InfiniteTranslation", [](COLMAPModel& model) { model.images[4].ty = INFINITY; },
                    "image frame_000003.jpg has a pose that is not finite (qw qx qy qz tx ty tz: 1.0 0.0 0.0 0.0 "
                    "0.0 inf 3.0)"},
        BrokenModel{"ZeroQuaternion", [](COLMAPModel& model) { model.images[2].qw = 0; },
                    "image frame_000001.jpg has a rotation quaternion of no usable length"}),
    [](const auto& info) { return info.param.name; });

TEST_F(SeedOnlyEngine, PointsThatAreNotFiniteAsFloatsAreDroppedWithACount) {
    auto points = SyntheticDataset::latticePoints(20);
    points[4].x = 1e308;
    points[8].y = -1e308;
    points[12].z = std::nan("");
    SyntheticDataset::write(dataset, 10, points);
    Result result = run(command(dataset, 10, 1000000));
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.matching("^warning: skipped 3 SfM points with non-finite coordinates").size(), 1u);
    const PLYCheck::Layout layout = PLYCheck::validate(output);
    EXPECT_EQ(layout.vertexCount, 17);
    std::string bytes = readTextFile(output);
    for (size_t offset = layout.headerText.size(); offset < bytes.size(); offset += 4)
        ASSERT_TRUE(std::isfinite(floatAt(bytes, offset))) << "at byte " << offset;
}

TEST_F(SeedOnlyEngine, ImageNamesThatAreNotUTF8FindTheirFiles) {
    SyntheticDataset::write(dataset, 10, SyntheticDataset::latticePoints(20));
    COLMAPModel model = COLMAPUtils::readModel(dataset / "sparse" / "0");
    const std::string latin1 = "caf\xe9.jpg";
    fs::rename(dataset / "images" / model.images[3].name, dataset / "images" / latin1);
    model.images[3].name = latin1;
    COLMAPUtils::writeModel(model, dataset / "sparse" / "0");
    Result result = run(command(dataset, 10, 1000000));
    EXPECT_EQ(result.status, 0) << ::testing::PrintToString(result.lines);
    EXPECT_EQ(PLYCheck::validate(output).vertexCount, 20);
}

TEST_F(SeedOnlyEngine, TerminationLeavesNoOutput) {
    SyntheticDataset::write(dataset, 10, SyntheticDataset::latticePoints(20));
    ProcessRunner runner;
    std::mutex mutex;
    bool cancelled = false;
    int32_t status = runner.run({.executablePath = engine.string(),
                                 .arguments = command(dataset, 200, 1000000),
                                 .environment = std::map<std::string, std::string>{
                                     {"TESSARON_TEST_ENGINE_STEP_SLEEP_MS", "50"}}},
                                [&](const std::string& line) {
                                    std::lock_guard lock(mutex);
                                    if (!cancelled && line.starts_with("step=")) {
                                        cancelled = true;
                                        runner.cancel();
                                    }
                                });
    EXPECT_EQ(status, -15);
    EXPECT_EQ(entriesIn(folder.path()), 1u) << "only the dataset";
}
