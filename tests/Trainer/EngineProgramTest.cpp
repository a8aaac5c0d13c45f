// The engine program trained on rendered datasets: what the application
// reads from it (statistics lines, the PSNR line, exit status, the PLY) and
// how it ends (termination, out of memory, a camera it cannot use).
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <map>
#include <mutex>
#include <regex>

#include "core/ResourceLocator.hpp"
#include "engines/TrevikRunner.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "engines/PLYCheck.hpp"
#include "engines/ProcessRunner.hpp"
#include "colmap/CellNormTransform.hpp"
#include "support/TempDir.hpp"
#include "support/engine/TestEngineKnobs.hpp"
#include "Trainer/TrainingDataset.hpp"
#include "PlyModel.hpp"
#include "RenderedDataset.hpp"

using namespace tessaron;
using tessaron::testing::RenderedDataset;
using tessaron::testing::TestEngineKnobs;
using tessaron::testing::TempDir;
namespace fs = std::filesystem;

namespace {

struct Result {
    int32_t status = 0;
    std::vector<std::string> lines;

    std::vector<std::smatch> matching(const std::string& pattern) const {
        std::vector<std::smatch> found;
        std::regex expression(pattern);
        for (const auto& line : lines) {
            std::smatch match;
            if (std::regex_search(line, match, expression)) found.push_back(match);
        }
        return found;
    }
    std::string text() const {
        std::string all;
        for (const auto& line : lines) all += line + "\n";
        return all;
    }
};

double number(const std::string& text) {
    double value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

size_t entriesIn(const fs::path& folder) {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++count;
    return count;
}

class EngineProgram : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(engine)) << "build the trevik target first";
    }

    // The command line the application builds (no downscale, no cull radius).
    std::vector<std::string> command(int iterations, int64_t capMax, bool eval) const {
        std::vector<std::string> arguments = {dataset.string(), "-n", std::to_string(iterations), "-o",
                                              output.string(), "--cap-max", std::to_string(capMax),
                                              "--bg-color", "0", "0", "0", "--position-lr-max-steps",
                                              std::to_string(iterations)};
        if (eval) arguments.insert(arguments.end(), {"--eval", "--early-stop", "0.05"});
        return arguments;
    }

    Result run(const std::string& program, const std::vector<std::string>& arguments,
               const std::function<void(const std::string&, engines::ProcessRunner&)>& onLine = {},
               const std::map<std::string, std::string>& extraEnvironment = {}) {
        Result result;
        std::mutex mutex;
        engines::ProcessRunner runner;
        std::map<std::string, std::string> environment = {{"TESSARON_ENGINE_THREADS", "2"}};
        environment.insert(extraEnvironment.begin(), extraEnvironment.end());
        result.status = runner.run({.executablePath = program, .arguments = arguments, .environment = environment},
                                   [&](const std::string& line) {
                                       std::lock_guard lock(mutex);
                                       result.lines.push_back(line);
                                       if (onLine) onLine(line, runner);
                                   });
        return result;
    }

    fs::path engine = core::ResourceLocator::developmentResourcesDirectory() / "trevik";
    TempDir folder;
    fs::path dataset = folder / "dataset";
    fs::path output = folder / "output.partial.ply";
};

}  // namespace

TEST_F(EngineProgram, TrainsAndReportsWhatItMeasured) {
    RenderedDataset::write(dataset, 16, 64, 48);
    Result result = run(engine.string(), command(200, 1000000, true));
    ASSERT_EQ(result.status, 0) << result.text();

    // Statistics lines the runner parses: a number for the loss, the splat
    // count, a positive time per step; each followed by the resident memory
    // and the private writable memory (what a memory ceiling counts).
    auto steps = result.matching("^step=(\\d+) loss=([0-9.]+) splats=([0-9,]+) ([0-9.]+)ms/step$");
    ASSERT_EQ(steps.size(), 10u) << result.text();
    EXPECT_EQ(steps.back()[1], "200");
    EXPECT_EQ(steps.back()[3], "150");
    EXPECT_LT(number(steps.back()[2]), number(steps.front()[2]));
    for (const auto& step : steps) EXPECT_GT(number(step[4]), 0.0);
    auto memory = result.matching("^\\[MEM\\] phys=([0-9.]+) MB data=([0-9.]+) MB$");
    ASSERT_EQ(memory.size(), steps.size());
    EXPECT_GT(number(memory.back()[1]), 5.0);
    EXPECT_GT(number(memory.back()[2]), 5.0);

    auto seeded = result.matching("^Seed PSNR before training: ([0-9.]+) dB$");
    auto trained = result.matching("^Eval PSNR: ([0-9.]+)$");
    ASSERT_EQ(seeded.size(), 1u) << result.text();
    ASSERT_EQ(trained.size(), 1u) << result.text();
    EXPECT_GT(number(trained[0][1]), number(seeded[0][1]) + 3);
    EXPECT_TRUE(result.matching("Training on 14 images, 2 held out for evaluation").size() == 1) << result.text();

    EXPECT_EQ(engines::PLYCheck::validate(output).vertexCount, 150);
    EXPECT_EQ(entriesIn(folder.path()), 2u) << "the dataset and the PLY, no temporary";
    EXPECT_TRUE(result.matching("below the seeds").empty()) << result.text();

    // The PLY read back by the format library and rendered at the held-out
    // cameras gives the PSNR the engine measured.
    auto frame = colmap::CellNormTransform::estimate(dataset / "sparse" / "0");
    ASSERT_TRUE(frame);
    trainer::TrainingDataset::Options options;
    options.imagesFolder = dataset / "images";
    options.holdOut = true;
    options.frameTranslation = {float(frame->translation.x), float(frame->translation.y),
                                float(frame->translation.z)};
    options.frameScale = float(frame->scale);
    auto heldOut = trainer::TrainingDataset::load(colmap::COLMAPUtils::readModel(dataset / "sparse" / "0"), options);
    ASSERT_EQ(heldOut.evaluation.size(), 2u);

    EXPECT_NEAR(tessaron::testing::renderedPsnr(tessaron::testing::readPlyModel(output), heldOut.evaluation),
                number(trained[0][1]), 0.02);
}

// The knobs of the tests' engine are not part of the engine that ships: set
// all at once, they change nothing of its run, which trains and writes its
// whole model; the same forced failure stops the tests' engine.
TEST_F(EngineProgram, TheShippedEngineHasNoneOfTheTestKnobs) {
    RenderedDataset::write(dataset, 16, 64, 48);
    const std::map<std::string, std::string> knobs = {
        {TestEngineKnobs::seedOnlyVariable, "1"},          {TestEngineKnobs::failDatasetVariable, "dataset"},
        {TestEngineKnobs::truncateDatasetVariable, "dataset"}, {TestEngineKnobs::memoryLimitVariable, "0.001"},
        {TestEngineKnobs::outOfMemoryModeVariable, "kill"},  {TestEngineKnobs::psnrVariable, "99"},
        {TestEngineKnobs::stepSleepVariable, "not a number"}};
    Result result = run(engine.string(), command(20, 1000000, true), {}, knobs);
    ASSERT_EQ(result.status, 0) << result.text();
    ASSERT_FALSE(result.lines.empty());
    EXPECT_EQ(result.lines.front(), "trevik (Tessaron): CPU Gaussian-splatting optimiser");
    EXPECT_FALSE(result.matching("^step=\\d+ loss=[0-9.]+ splats=").empty()) << result.text();
    auto psnr = result.matching("^Eval PSNR: ([0-9.]+)$");
    ASSERT_EQ(psnr.size(), 1u) << result.text();
    EXPECT_NE(psnr[0][1], "99");
    EXPECT_TRUE(result.matching("seed-only|forced|truncated|out of memory|TESSARON_TEST_ENGINE").empty()) << result.text();
    EXPECT_GT(engines::PLYCheck::validate(output).vertexCount, 0);
    // None of their names or texts is even in the program.
    const std::string program = tessaron::testing::readTextFile(engine);
    for (const char* text : {"TESSARON_TEST_ENGINE_", "seed-only", "forced failure", "truncated PLY"})
        EXPECT_EQ(program.find(text), std::string::npos) << text;

    fs::remove(output);
    Result stopped = run(TESSARON_TEST_ENGINE_PATH, command(20, 1000000, true), {},
                         {{TestEngineKnobs::failDatasetVariable, "dataset"}});
    EXPECT_EQ(stopped.status, 1) << stopped.text();
    EXPECT_EQ(stopped.matching("^error: forced failure for dataset dataset ").size(), 1u) << stopped.text();
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(EngineProgram, DensifiesButNeverBeyondTheCap) {
    RenderedDataset::write(dataset, 8, 40, 30);
    Result result = run(engine.string(), command(700, 160, false));
    ASSERT_EQ(result.status, 0) << result.text();
    auto steps = result.matching("^step=\\d+ loss=[0-9.]+ splats=([0-9,]+) ");
    ASSERT_FALSE(steps.empty());
    size_t largest = 0;
    for (const auto& step : steps) largest = std::max(largest, size_t(number(step[1])));
    EXPECT_LE(largest, 160u);
    EXPECT_LE(engines::PLYCheck::validate(output).vertexCount, 160);
}

TEST_F(EngineProgram, TerminationDuringTrainingLeavesNoOutput) {
    RenderedDataset::write(dataset, 8, 40, 30);
    bool cancelled = false;
    Result result = run(engine.string(), command(100000, 1000000, false),
                        [&](const std::string& line, engines::ProcessRunner& runner) {
                            if (!cancelled && line.starts_with("step=")) {
                                cancelled = true;
                                runner.cancel();
                            }
                        });
    EXPECT_EQ(result.status, -15);
    EXPECT_EQ(entriesIn(folder.path()), 1u) << "only the dataset";
}

TEST_F(EngineProgram, RunningOutOfMemoryEndsWithALineTheDriverRecognises) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit leaves";
#endif
    // Photos far too large for the address space the shell leaves the engine.
    RenderedDataset::write(dataset, 12, 3200, 2400, 20);
    std::vector<std::string> arguments = {"-c", "ulimit -v 600000; exec \"$0\" \"$@\"", engine.string()};
    for (const std::string& argument : command(10, 1000000, false)) arguments.push_back(argument);
    Result result = run("/bin/sh", arguments);
    EXPECT_EQ(result.status, 1) << result.text();
    const std::regex driverPatterns("out of memory|std::bad_alloc|failed to allocate", std::regex::icase);
    bool recognised = false;
    for (const auto& line : result.lines) recognised = recognised || std::regex_search(line, driverPatterns);
    EXPECT_TRUE(recognised) << result.text();
    EXPECT_FALSE(fs::exists(output));
}

// A ceiling below what the engine holds when it sets it: every allocation
// after it fails, the message about it too, and still the last word is one
// the driver reads as memory.
TEST_F(EngineProgram, AMemoryCeilingBelowItsStartStillEndsAsOutOfMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer ends the engine itself when its memory runs out";
#endif
    RenderedDataset::write(dataset, 8, 40, 30);
    Result result = run(engine.string(), command(10, 1000000, false), {}, {{"TESSARON_ENGINE_MEMORY_LIMIT_MB", "1"}});
    EXPECT_EQ(result.status, 1) << result.text();
    // Standard error and output arrive through two pipes, so the error line
    // need not come last.
    const std::regex driverPatterns("out of memory|std::bad_alloc|failed to allocate", std::regex::icase);
    EXPECT_TRUE(std::any_of(result.lines.begin(), result.lines.end(),
                            [&](const std::string& line) { return std::regex_search(line, driverPatterns); }))
        << result.text();
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(EngineProgram, RefusesACameraModelItCannotUndistort) {
    RenderedDataset::write(dataset, 4, 32, 24);
    auto model = colmap::COLMAPUtils::readModel(dataset / "sparse" / "0");
    // OPENCV_FISHEYE: fx fy cx cy k1 k2 k3 k4
    model.cameras[1].modelId = 5;
    model.cameras[1].params = {32, 32, 16, 12, 0.1, 0, 0, 0};
    colmap::COLMAPUtils::writeModel(model, dataset / "sparse" / "0");
    Result result = run(engine.string(), command(10, 1000000, false));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.matching("^error: camera 1 uses camera model 5, which the engine cannot undistort").size(), 1u)
        << result.text();
    EXPECT_FALSE(fs::exists(output));
}

// The held-out photos replaced by black ones: the faint seeds match them
// better than the trained model does, so training lowers the held-out PSNR.
// The run still saves its model, but says that it got worse.
TEST_F(EngineProgram, AHeldOutPSNRBelowTheSeedsIsWarnedOf) {
    RenderedDataset::write(dataset, 16, 64, 48);
    for (int index : {0, 8})
        tessaron::testing::writeImage(dataset / "images" / RenderedDataset::imageName(index),
                                      std::vector<float>(64 * 48 * 3, 0.0f), 64, 48);
    std::vector<std::string> arguments = command(200, 1000000, false);
    arguments.push_back("--eval");
    Result result = run(engine.string(), arguments);
    ASSERT_EQ(result.status, 0) << result.text();

    auto seeded = result.matching("^Seed PSNR before training: ([0-9.]+) dB$");
    auto trained = result.matching("^Eval PSNR: ([0-9.]+)$");
    ASSERT_EQ(seeded.size(), 1u) << result.text();
    ASSERT_EQ(trained.size(), 1u) << result.text();
    ASSERT_LT(number(trained[0][1]), number(seeded[0][1])) << result.text();
    auto warnings = result.matching(std::string("^") + engines::TrevikRunner::qualityFellWarning +
                                    " \\(([0-9.]+) dB after training, ([0-9.]+) dB before\\)$");
    ASSERT_EQ(warnings.size(), 1u) << result.text();
    EXPECT_EQ(warnings[0][1], trained[0][1]);
    EXPECT_EQ(warnings[0][2], seeded[0][1]);
    EXPECT_GT(engines::PLYCheck::validate(output).vertexCount, 0);
}

// A model it would save without a single Gaussian is a failure that says
// why, not a PLY of nothing reported as a trained scene.
TEST_F(EngineProgram, AModelLeftWithoutGaussiansFailsSayingWhy) {
    RenderedDataset::write(dataset, 8, 40, 30);
    std::vector<std::string> arguments = command(20, 1000000, false);
    arguments.insert(arguments.end(), {"--cull-radius", "1e-9"});
    Result result = run(engine.string(), arguments);
    EXPECT_EQ(result.status, 1) << result.text();
    EXPECT_EQ(result.matching("^error: the cull radius 1e-0?9 removed all [0-9,]+ Gaussians; no model to save$").size(),
              1u)
        << result.text();
    EXPECT_TRUE(result.matching("^Saved ").empty()) << result.text();
    EXPECT_FALSE(fs::exists(output));
    EXPECT_EQ(entriesIn(folder.path()), 1u) << "only the dataset";
}

namespace {

struct RefusedRun {
    std::string what;
    std::vector<std::string> arguments;  // "{folder}" stands for the test's folder
    int32_t status;
    std::string line;  // the whole line that says why
};

void PrintTo(const RefusedRun& run, std::ostream* out) { *out << run.what; }

class RefusedEngineRun : public EngineProgram, public ::testing::WithParamInterface<RefusedRun> {};

std::string replacingFolder(std::string text, const fs::path& folder) {
    for (size_t at = text.find("{folder}"); at != std::string::npos; at = text.find("{folder}"))
        text.replace(at, 8, folder.string());
    return text;
}

}  // namespace

// Values the application's runner never passes are refused with the value
// named, before any training: usage errors with status 2, what only the
// dataset shows with status 1. Nothing is written.
TEST_P(RefusedEngineRun, NamesTheValueAndWritesNothing) {
    RenderedDataset::write(dataset, 8, 40, 30);
    fs::create_directories(folder / "a-file-parent");
    tessaron::testing::writeTextFile(folder / "a-file-parent" / "masks", "not a folder");
    std::vector<std::string> arguments = {dataset.string(), "-o", output.string(), "--cap-max", "1000"};
    for (const std::string& argument : GetParam().arguments) arguments.push_back(replacingFolder(argument, folder.path()));
    // A run that trains after all is stopped at its first statistics line:
    // one of 10^12 steps would never end.
    Result result = run(engine.string(), arguments, [](const std::string& line, engines::ProcessRunner& runner) {
        if (line.starts_with("step=")) runner.cancel();
    });
    EXPECT_EQ(result.status, GetParam().status) << result.text();
    EXPECT_EQ(std::count(result.lines.begin(), result.lines.end(), replacingFolder(GetParam().line, folder.path())), 1)
        << result.text();
    EXPECT_TRUE(result.matching("^step=").empty()) << result.text();
    EXPECT_FALSE(fs::exists(output));
}

INSTANTIATE_TEST_SUITE_P(
    Options, RefusedEngineRun,
    ::testing::Values(
        RefusedRun{"StepsWithoutEnd", {"-n", "1000000000000"}, 2,
                   "trevik: invalid value for -n: \"1000000000000\" (an integer from 0 to 1000000)"},
        RefusedRun{"NegativeCullRadius", {"-n", "20", "--cull-radius", "-1"}, 2,
                   "trevik: invalid value for --cull-radius: \"-1\" (a number of at least 0)"},
        RefusedRun{"NegativeEarlyStop", {"-n", "20", "--eval", "--early-stop", "-0.05"}, 2,
                   "trevik: invalid value for --early-stop: \"-0.05\" (a number of at least 0)"},
        RefusedRun{"CapBeyondTheRunners", {"-n", "20", "--cap-max", "10000001"}, 2,
                   "trevik: invalid value for --cap-max: \"10000001\" (an integer from 1 to 10000000)"},
        RefusedRun{"DownscaleToAFewPixels", {"-n", "20", "-d", "8"}, 1,
                   "error: downscale 8 leaves the 40 × 30 photos of camera 1 at 5 × 3 pixels; training needs at "
                   "least 8 pixels a side"},
        RefusedRun{"MissingMaskFolder", {"-n", "20", "--mask-dir", "{folder}/no-masks"}, 1,
                   "error: mask folder {folder}/no-masks does not exist"},
        RefusedRun{"MaskFolderThatIsAFile", {"-n", "20", "--mask-dir", "{folder}/a-file-parent/masks"}, 1,
                   "error: mask folder {folder}/a-file-parent/masks is not a folder"}),
    [](const ::testing::TestParamInfo<RefusedRun>& info) { return info.param.what; });

// A downscale that leaves enough pixels is taken: 40 × 30 by 3 is 13 × 10.
TEST_F(EngineProgram, ADownscaleThatLeavesEnoughPixelsTrains) {
    RenderedDataset::write(dataset, 8, 40, 30);
    std::vector<std::string> arguments = command(10, 1000000, false);
    arguments.insert(arguments.end(), {"-d", "3"});
    Result result = run(engine.string(), arguments);
    EXPECT_EQ(result.status, 0) << result.text();
    EXPECT_EQ(result.matching("^Dataset .*: 8 images at 13x10, ").size(), 1u) << result.text();
}

namespace {

class ImageNameOutsideTheDataset : public EngineProgram, public ::testing::WithParamInterface<bool> {};

}  // namespace

// images.bin names a photo outside <dataset>/images (a copy of one of its
// own, so that reading it would succeed): the run is refused naming the
// image, and nothing is read or written.
TEST_P(ImageNameOutsideTheDataset, IsRefusedNamingTheImage) {
    RenderedDataset::write(dataset, 8, 40, 30);
    const fs::path outside = folder / "outside.png";
    fs::copy_file(dataset / "images" / RenderedDataset::imageName(1), outside);
    const bool absolute = GetParam();
    const std::string name = absolute ? outside.string() : "../../outside.png";
    auto model = colmap::COLMAPUtils::readModel(dataset / "sparse" / "0");
    model.images.begin()->second.name = name;
    colmap::COLMAPUtils::writeModel(model, dataset / "sparse" / "0");

    Result result = run(engine.string(), command(10, 1000000, false));
    EXPECT_EQ(result.status, 1) << result.text();
    const std::string why = absolute ? "has an absolute path" : "has a \"..\" component";
    EXPECT_EQ(std::count(result.lines.begin(), result.lines.end(),
                         "error: image \"" + name + "\" in images.bin " + why +
                             "; an image must lie inside the images folder"),
              1)
        << result.text();
    EXPECT_FALSE(fs::exists(output));
}

INSTANTIATE_TEST_SUITE_P(Names, ImageNameOutsideTheDataset, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Absolute" : "ParentComponent";
                         });
