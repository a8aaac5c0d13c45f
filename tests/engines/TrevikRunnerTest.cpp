#include <cmath>
#include <gtest/gtest.h>

#include "colmap/CellNormTransform.hpp"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "core/ResourceLocator.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "engines/PLYCheck.hpp"
#include "engines/TrevikRunner.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/SeedOnlyTestEngine.hpp"
#include "support/SyntheticDataset.hpp"
#include "generators/SyntheticScene.hpp"
#include "support/TempDir.hpp"

using tessaron::core::CancellationError;
using tessaron::core::ResourceLocator;
using tessaron::colmap::COLMAPUtils;
using tessaron::engines::PLYCheck;
using tessaron::engines::ProcessRunner;
using tessaron::engines::TrevikRunner;
using tessaron::testing::ScopedEnvironment;
using tessaron::testing::SyntheticDataset;
using tessaron::testing::TempDir;
using tessaron::testing::writeTextFile;

namespace fs = std::filesystem;

namespace {

// Everything a runner reports, gathered from the delivery thread.
struct Recorder {
    std::mutex mutex;
    std::vector<std::string> lines;
    struct Stats {
        int64_t step, splats;
        float msPerStep;
    };
    std::vector<Stats> stats;
    std::vector<int32_t> pids;

    void attach(TrevikRunner& runner) {
        runner.onLog = [this](const std::string& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        };
        runner.onStats = [this](int64_t step, int64_t splats, float ms) {
            std::lock_guard lock(mutex);
            stats.push_back({step, splats, ms});
        };
        runner.onPidLaunched = [this](int32_t pid) { pids.push_back(pid); };
    }

    std::vector<std::string> withPrefix(const std::string& prefix) {
        std::lock_guard lock(mutex);
        std::vector<std::string> found;
        for (const auto& line : lines)
            if (line.starts_with(prefix)) found.push_back(line.substr(prefix.size()));
        return found;
    }
};

fs::path writeScript(const TempDir& folder, const std::string& name, const std::string& body) {
    fs::path path = folder / name;
    writeTextFile(path, "#!/bin/sh\n" + body + "\n");
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

// An engine that reports what it was given.
fs::path echoEngine(const TempDir& folder) {
    return writeScript(folder, "trevik",
                       "echo \"argc=$#\"\n"
                       "for argument in \"$@\"; do echo \"arg=$argument\"; done\n"
                       "echo \"cwd=$(pwd)\"\n"
                       "echo \"diagnostics=${BENCHMARK:-}${PROFILE_GPU:-}${PROFILE_STAGES:-}\"");
}

fs::path testEnginePath() { return TESSARON_TEST_ENGINE_PATH; }

// A short run on a dataset the echo engines never read.
TrevikRunner::Options small(bool diagnostics = false) {
    return {.datasetPath = "ds", .outputPath = "out.ply", .iterations = 10, .capMax = 100, .diagnostics = diagnostics};
}

struct Settings {
    int iterations = 7000;
    int downscale = 1;
    bool evalMode = false;
    int64_t capMax = 1000000;
    std::optional<float> cullRadius;
    std::optional<double> earlyStop;
    const char* maskDir = nullptr;  // none when null
};

struct CommandCase {
    const char* name;
    Settings settings;
    std::string capLine;
    std::vector<std::string> optionalArguments;
};

class TrevikCommandLine : public ::testing::TestWithParam<CommandCase> {};

void PrintTo(const CommandCase& command, std::ostream* out) { *out << command.name; }

}  // namespace

TEST_P(TrevikCommandLine, LogsAndPassesExactlyTheseArguments) {
    const CommandCase& command = GetParam();
    const Settings& settings = command.settings;
    TempDir folder;
    TrevikRunner runner(echoEngine(folder).string());
    Recorder recorder;
    recorder.attach(runner);
    runner.run({.datasetPath = "/data/set",
                .outputPath = "/data/out.partial.ply",
                .iterations = settings.iterations,
                .downscale = settings.downscale,
                .evalMode = settings.evalMode,
                .capMax = settings.capMax,
                .cullRadius = settings.cullRadius,
                .earlyStop = settings.earlyStop,
                .maskDir = settings.maskDir ? std::optional<std::string>(settings.maskDir) : std::nullopt});

    std::string cap = command.capLine;
    std::vector<std::string> expected = {"/data/set", "-n", std::to_string(settings.iterations), "-o",
                                         "/data/out.partial.ply", "--cap-max", cap, "--bg-color", "0", "0", "0",
                                         "--position-lr-max-steps", std::to_string(settings.iterations)};
    expected.insert(expected.end(), command.optionalArguments.begin(), command.optionalArguments.end());
    std::string joined;
    for (const auto& argument : expected) joined += " " + argument;

    std::vector<std::string> startLines = {
        "═══ Starting trevik training ═══",
        "Dataset: /data/set",
        "Iterations: " + std::to_string(settings.iterations),
        "Downscale: " + std::to_string(settings.downscale) + "x",
        "Cap Max: " + cap,
        "Command: trevik" + joined,
    };
    ASSERT_GE(recorder.lines.size(), startLines.size());
    EXPECT_EQ(std::vector<std::string>(recorder.lines.begin(), recorder.lines.begin() + 6), startLines);
    EXPECT_EQ(recorder.withPrefix("argc="), std::vector<std::string>{std::to_string(expected.size())});
    EXPECT_EQ(recorder.withPrefix("arg="), expected);
    EXPECT_EQ(recorder.withPrefix("cwd="), std::vector<std::string>{fs::canonical(folder.path()).string()});
    EXPECT_EQ(recorder.withPrefix("Diagnostics ON"), std::vector<std::string>{});
    EXPECT_EQ(recorder.lines.back(), "✓ trevik training completed successfully.");
}

INSTANTIATE_TEST_SUITE_P(
    Settings, TrevikCommandLine,
    ::testing::Values(
        CommandCase{"EveryOptionAbsentGivesThirteen", Settings(), "1000000", {}},
        CommandCase{"DownscaleEvalCullAndEarlyStop",
                    {30000, 2, true, 1000000, 0.0f, 0.05, nullptr},
                    "1000000",
                    {"-d", "2", "--eval", "--cull-radius", "0.0", "--early-stop", "0.05"}},
        CommandCase{"EarlyStopWithoutEvalIsDropped", {7000, 1, false, 1000000, std::nullopt, 0.05, nullptr},
                    "1000000", {}},
        // The limits themselves pass; one past them is refused (below).
        CommandCase{"CapAndIterationsAtTheLimits", {1000000, 1, false, 10000000, std::nullopt, std::nullopt, nullptr}, "10000000", {}},
        CommandCase{"CapJustBelowTheLimitPasses", {7000, 1, false, 9999999, std::nullopt, std::nullopt, nullptr}, "9999999", {}},
        CommandCase{"CullRadiusAndMasksComeLast",
                    {500, 4, false, 50000, 2.5f, std::nullopt, "/data/masks"},
                    "50000",
                    {"-d", "4", "--cull-radius", "2.5", "--mask-dir", "/data/masks"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TrevikRunner, DiagnosticsAddTheProfilingVariables) {
    TempDir folder;
    TrevikRunner runner(echoEngine(folder).string());
    Recorder recorder;
    recorder.attach(runner);
    runner.run(small(true));
    ASSERT_GE(recorder.lines.size(), 7u);
    EXPECT_EQ(recorder.lines[6], "Diagnostics ON: BENCHMARK + PROFILE_GPU + PROFILE_STAGES enabled");
    EXPECT_EQ(recorder.withPrefix("diagnostics="), std::vector<std::string>{"111"});
}

namespace {

struct StatusCase {
    const char* name;
    std::string script;
    std::string description;
    std::optional<int32_t> exitCode;
    std::optional<int32_t> signal;
    // What the engine said on its last "error: " line.
    std::optional<std::string> cause = std::nullopt;
};

class TrevikExitStatus : public ::testing::TestWithParam<StatusCase> {};

void PrintTo(const StatusCase& status, std::ostream* out) { *out << status.name; }

}  // namespace

TEST_P(TrevikExitStatus, BecomesATrainingFailure) {
    TempDir folder;
    TrevikRunner runner(writeScript(folder, "trevik", GetParam().script).string());
    Recorder recorder;
    recorder.attach(runner);
    try {
        runner.run(small());
        FAIL() << "expected a training failure";
    } catch (const TrevikRunner::TrevikError& error) {
        EXPECT_EQ(std::string(error.what()), GetParam().description);
        EXPECT_EQ(error.kind(), TrevikRunner::TrevikErrorKind::trainingFailed);
        EXPECT_EQ(error.exitCode, GetParam().exitCode);
        EXPECT_EQ(error.signal, GetParam().signal);
        EXPECT_EQ(error.cause, GetParam().cause);
        EXPECT_EQ(error.describedWithCause(),
                  GetParam().cause ? GetParam().description + ": " + *GetParam().cause : GetParam().description);
    }
    EXPECT_EQ(recorder.withPrefix("✓"), std::vector<std::string>{});
    EXPECT_EQ(recorder.pids.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, TrevikExitStatus,
    ::testing::Values(StatusCase{"ExitOne", "exit 1", "trevik training failed (exit 1)", 1, std::nullopt},
                      StatusCase{"ExitTwo", "echo usage >&2; exit 2", "trevik training failed (exit 2)", 2,
                                 std::nullopt},
                      StatusCase{"SaysWhy",
                                 "echo 'step=1 loss=n/a splats=3 1.0ms/step'\n"
                                 "echo 'error: could not read the model' >&2\n"
                                 "echo 'error: image a.jpg refers to camera 7, which cameras.bin does not hold' >&2\n"
                                 "echo 'trevik: giving up' >&2\n"
                                 "exit 1",
                                 "trevik training failed (exit 1)", 1, std::nullopt,
                                 "image a.jpg refers to camera 7, which cameras.bin does not hold"},
                      StatusCase{"Killed", "kill -9 $$", "trevik stopped by signal 9", std::nullopt, 9},
                      StatusCase{"Terminated", "kill -TERM $$", "trevik stopped by signal 15", std::nullopt, 15}),
    [](const auto& info) { return std::string(info.param.name); });

namespace {

struct StatsCase {
    const char* name;
    std::string line;
    std::optional<std::tuple<int64_t, int64_t, float>> reported;
};

class TrevikStatsLine : public ::testing::TestWithParam<StatsCase> {};

void PrintTo(const StatsCase& stats, std::ostream* out) { *out << stats.name; }

}  // namespace

TEST_P(TrevikStatsLine, ReportsStepSplatsAndSpeed) {
    TrevikRunner runner("unused");
    std::vector<std::tuple<int64_t, int64_t, float>> reports;
    runner.onStats = [&](int64_t step, int64_t splats, float ms) { reports.emplace_back(step, splats, ms); };
    runner.parseStats(GetParam().line);
    if (GetParam().reported) {
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(std::get<0>(reports[0]), std::get<0>(*GetParam().reported));
        EXPECT_EQ(std::get<1>(reports[0]), std::get<1>(*GetParam().reported));
        EXPECT_FLOAT_EQ(std::get<2>(reports[0]), std::get<2>(*GetParam().reported));
    } else {
        EXPECT_TRUE(reports.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, TrevikStatsLine,
    ::testing::Values(
        StatsCase{"Full", "step=1500 loss=0.0213 splats=1,204,332 38.5ms/step", std::make_tuple(1500, 1204332, 38.5f)},
        StatsCase{"BlankBeforeUnit", "step=1500 loss=0.0213 splats=1,204,332 38.5 ms/step",
                  std::make_tuple(1500, 1204332, 0.0f)},
        StatsCase{"NoStep", "loss=0.1 splats=5 2.0ms/step", std::nullopt},
        StatsCase{"StepZero", "step=0 splats=5 1.0ms/step", std::nullopt},
        StatsCase{"StepNotANumber", "step=abc splats=5", std::nullopt},
        StatsCase{"StepTooLarge", "step=99999999999999999999 splats=5", std::nullopt},
        StatsCase{"StepInsideAToken", "xstep=5 splats=1", std::nullopt},
        StatsCase{"TabIsNoSeparator", "step=5\tsplats=1", std::nullopt},
        StatsCase{"EngineBanner", "[TRAIN] step=1000 splats=51522 6.0ms/step", std::make_tuple(1000, 51522, 6.0f)},
        StatsCase{"OnlyAStep", "MCMC step=2000 active=83919 grown=3996", std::make_tuple(2000, 0, 0.0f)},
        StatsCase{"DoubleBlank", "step=10  splats=5", std::make_tuple(10, 5, 0.0f)},
        StatsCase{"SignsAndExponent", "step=+7 splats=-3 2e1ms/step", std::make_tuple(7, -3, 20.0f)},
        StatsCase{"LaterTokenWins", "splats=9 step=3 step=4 1ms/step 2ms/step", std::make_tuple(4, 9, 2.0f)},
        StatsCase{"UnitAlone", "step=3 splats=1 ms/step", std::make_tuple(3, 1, 0.0f)},
        StatsCase{"BadSplatsCountAsZero", "step=3 splats=1.5k", std::make_tuple(3, 0, 0.0f)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TrevikRunner, MissingEngineFailsAfterTheStartLines) {
    TrevikRunner runner("/nonexistent/folder/trevik");
    Recorder recorder;
    recorder.attach(runner);
    EXPECT_THROW(runner.run(small()),
                 tessaron::core::Error);
    EXPECT_EQ(recorder.withPrefix("Command: trevik ").size(), 1u);
    EXPECT_TRUE(recorder.pids.empty());
}

TEST(TrevikRunner, LatchedRunnerStartsNothing) {
    TempDir folder;
    TrevikRunner runner(echoEngine(folder).string());
    Recorder recorder;
    recorder.attach(runner);
    runner.runner().cancel();
    EXPECT_THROW(runner.run(small(true)),
                 CancellationError);
    EXPECT_EQ(recorder.withPrefix("Diagnostics ON").size(), 1u);
    EXPECT_TRUE(recorder.withPrefix("argc=").empty());
    EXPECT_TRUE(recorder.pids.empty());

    runner.runner().resetCancel();
    runner.run(small());
    EXPECT_EQ(recorder.withPrefix("argc=").size(), 1u);
}

// The tests' engine, which the runner finds beside this program, run for real.
class TrevikTestEngineRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(testEnginePath())) << "build the trevik_test_engine target first";
        ASSERT_EQ(runner.trevikPath(), testEnginePath().string());
        SyntheticDataset::write(dataset, 12, SyntheticDataset::latticePoints(250));
        recorder.attach(runner);
    }

    void train(int iterations) {
        runner.run({.datasetPath = dataset.string(), .outputPath = output.string(), .iterations = iterations,
                    .cullRadius = 0.0f});
    }

    TempDir folder;
    fs::path dataset = folder / "dataset";
    fs::path output = folder / "output.partial.ply";
    TrevikRunner runner;
    Recorder recorder;
};

TEST_F(TrevikTestEngineRun, CancelStopsTheEngineWithSignal15) {
    ScopedEnvironment slow({{"TESSARON_TEST_ENGINE_STEP_SLEEP_MS", "50"}});
    std::promise<void> firstStats;
    std::once_flag once;
    runner.onStats = [&](int64_t, int64_t, float) { std::call_once(once, [&] { firstStats.set_value(); }); };
    std::exception_ptr failure;
    std::jthread training([&] {
        try {
            train(100);
        } catch (...) {
            failure = std::current_exception();
        }
    });
    ASSERT_EQ(firstStats.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    runner.runner().cancel();
    training.join();
    ASSERT_TRUE(failure);
    try {
        std::rethrow_exception(failure);
    } catch (const TrevikRunner::TrevikError& error) {
        EXPECT_STREQ(error.what(), "trevik stopped by signal 15");
    }
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(TrevikTestEngineRun, SimulatedOutOfMemoryEndsAsTheChosenFailure) {
    {
        ScopedEnvironment tight({{"TESSARON_TEST_ENGINE_MEMORY_LIMIT_GB", "0.1"}});
        try {
            train(100);
            FAIL() << "expected out of memory";
        } catch (const TrevikRunner::TrevikError& error) {
            EXPECT_STREQ(error.what(), "trevik training failed (exit 1)");
        }
        EXPECT_EQ(recorder.withPrefix("error: out of memory").size(), 1u);
    }
    {
        ScopedEnvironment killed({{"TESSARON_TEST_ENGINE_MEMORY_LIMIT_GB", "0.1"}, {"TESSARON_TEST_ENGINE_OOM_MODE", "kill"}});
        try {
            train(100);
            FAIL() << "expected out of memory";
        } catch (const TrevikRunner::TrevikError& error) {
            EXPECT_STREQ(error.what(), "trevik stopped by signal 9");
            EXPECT_EQ(error.signal, 9);
        }
    }
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(TrevikTestEngineRun, ForcedTruncationFailsThePLYCheck) {
    ScopedEnvironment truncate({{"TESSARON_TEST_ENGINE_TRUNCATE_DATASET", "dataset"}});
    train(10);
    try {
        PLYCheck::validate(output);
        FAIL() << "a truncated file passed";
    } catch (const PLYCheck::Failure& failure) {
        EXPECT_EQ(failure.kind(), PLYCheck::FailureKind::sizeMismatch);
    }
}

// A real COLMAP reconstruction of rendered photos, seeded by the tests'
// engine in seed-only mode: the PLY passes the check with one Gaussian per SfM point, each at its
// point's position and in its colour.
TEST(TrevikSeedOnlyOnCOLMAP, SeedsEverySparsePointInPlaceAndInColour) {
    auto colmap = ResourceLocator::findExecutable("colmap", /*searchPath=*/true);
    if (!colmap) GTEST_SKIP() << "colmap is not installed";
    ASSERT_TRUE(fs::exists(testEnginePath())) << "build the trevik_test_engine target first";

    TempDir workspace("tessaron-trevik-colmap");
    tessaron::generators::renderScene(workspace / "images", 8);
    fs::create_directories(workspace / "sparse");
    fs::create_directories(workspace / "logs");
    std::string database = (workspace / "database.db").string(), images = (workspace / "images").string();
    const std::vector<std::vector<std::string>> steps = {
        {"feature_extractor", "--database_path", database, "--image_path", images, "--ImageReader.single_camera", "1",
         "--SiftExtraction.use_gpu", "0", "--SiftExtraction.num_threads", "2", "--SiftExtraction.max_num_features",
         "512"},
        {"exhaustive_matcher", "--database_path", database, "--SiftMatching.use_gpu", "0",
         "--SiftMatching.num_threads", "2"},
        {"mapper", "--database_path", database, "--image_path", images, "--output_path",
         (workspace / "sparse").string(), "--Mapper.num_threads", "2"},
    };
    ProcessRunner process;
    for (const auto& step : steps) {
        std::vector<std::string> output;
        int32_t status = process.run({.executablePath = colmap->string(),
                                      .arguments = step,
                                      .environment = std::map<std::string, std::string>{
                                          {"GLOG_log_dir", (workspace / "logs").string()},
                                          {"QT_QPA_PLATFORM", "offscreen"}}},
                                     [&](const std::string& line) { output.push_back(line); });
        ASSERT_EQ(status, 0) << step[0] << ": " << ::testing::PrintToString(output);
    }
    auto model = COLMAPUtils::readModel(workspace / "sparse" / "0");
    ASSERT_GE(model.points3D.size(), 100u);

    TrevikRunner runner;
    fs::path ply = workspace / "output.partial.ply";
    runner.run({.datasetPath = workspace.path().string(), .outputPath = ply.string(), .iterations = 500,
                .cullRadius = 0.0f});

    const PLYCheck::Layout layout = PLYCheck::validate(ply);
    ASSERT_EQ(layout.vertexCount, int64_t(model.points3D.size()));
    ASSERT_EQ(layout.bytesPerVertex, 62 * 4);
    std::string bytes = tessaron::testing::readTextFile(ply);
    size_t offset = bytes.find("end_header\n") + 11;
    auto property = [&](size_t vertex, size_t index) {
        float value;
        std::memcpy(&value, bytes.data() + offset + vertex * 248 + index * 4, 4);
        return value;
    };
    // In place means in the model's normalised frame, which the merge maps back from.
    auto frame = tessaron::colmap::CellNormTransform::estimate(workspace / "sparse" / "0");
    ASSERT_TRUE(frame.has_value());
    size_t vertex = 0;
    for (const auto& [id, point] : model.points3D) {
        EXPECT_EQ(property(vertex, 0), float((point.x - frame->translation.x) * frame->scale));
        EXPECT_EQ(property(vertex, 1), float((point.y - frame->translation.y) * frame->scale));
        EXPECT_EQ(property(vertex, 2), float((point.z - frame->translation.z) * frame->scale));
        const uint8_t colour[3] = {point.r, point.g, point.b};
        for (size_t channel = 0; channel < 3; ++channel)
            EXPECT_NEAR((0.5 + 0.28209479 * property(vertex, 6 + channel)) * 255.0, colour[channel], 1e-3);
        ++vertex;
    }
}

TEST(TrevikRunner, OptionsOutOfRangeAreRefusedByNameBeforeAnythingRuns) {
    TempDir folder;
    TrevikRunner runner(echoEngine(folder).string());
    Recorder recorder;
    recorder.attach(runner);
    const std::pair<TrevikRunner::Options, std::string> cases[] = {
        {{.outputPath = "out.ply"}, "Training option datasetPath is empty"},
        {{.datasetPath = "ds", .outputPath = "out.ply", .iterations = 0}, "Training option iterations must be at least 1 (is 0)"},
        {{.datasetPath = "ds", .outputPath = "out.ply", .downscale = -2}, "Training option downscale must be at least 1 (is -2)"},
        // The engine refuses a count beyond the limit too: it would never end.
        {{.datasetPath = "ds", .outputPath = "out.ply", .iterations = 1000001},
         "Training option iterations must be at most 1000000 (is 1000001)"},
        {{.datasetPath = "ds", .outputPath = "out.ply", .capMax = 10000001},
         "Training option capMax must be at most 10000000 (is 10000001)"},
        {{.datasetPath = "ds", .outputPath = "out.ply", .cullRadius = std::nanf("")},
         "Training option cullRadius must be a number of at least 0"},
    };
    for (const auto& [options, message] : cases) {
        try {
            runner.run(options);
            ADD_FAILURE() << "ran with " << message;
        } catch (const TrevikRunner::OptionsError& error) {
            EXPECT_EQ(error.what(), message);
        }
    }
    EXPECT_TRUE(recorder.lines.empty());
}
