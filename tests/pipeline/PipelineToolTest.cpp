// `tessaron-tool pipeline run` and `scan` from outside, and a run whose
// process is killed outright: the next launch finds it interrupted, once.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <tuple>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "core/AtomicFile.hpp"
#include "core/NumberText.hpp"
#include "engines/PLYCheck.hpp"
#include "engines/ProcessRunner.hpp"
#include "pipeline/RunReport.hpp"
#include "PartitionedRunSupport.hpp"
#include "PipelineTestSupport.hpp"
#include "support/SyntheticDataset.hpp"
#include "support/Fifo.hpp"
#include "support/TempDir.hpp"
#include "support/WaitUntil.hpp"

using namespace tessaron;
using pipeline::RunReport;
using tessaron::testing::ScopedEnvironment;
using tessaron::testing::SyntheticDataset;
using tessaron::testing::TempDir;
using ::testing::Contains;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

class PipelineTool : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(TESSARON_TOOL_PATH)) << "build tessaron-tool first";
        SyntheticDataset::write(capture_, 10, SyntheticDataset::latticePoints(150));
    }

    // An imported-model run of the synthetic capture.
    std::vector<std::string> runArguments(const std::string& iterations) const {
        return {"pipeline",  "run",           (capture_ / "images").string(), (folder_ / "output").string(),
                "--skip-sfm", capture_.string(), "--support",                  (folder_ / "support").string(),
                "--report",   "--downscale",   "1",                            "--iterations",
                iterations,   "--no-eval",     "--ram-limit",                  "64",
                "--trevik",   TESSARON_TEST_ENGINE_PATH};
    }

    // The tool's exit status and its output lines.
    std::pair<int32_t, std::vector<std::string>> runTool(const std::vector<std::string>& arguments) {
        engines::ProcessRunner process;
        std::vector<std::string> lines;
        std::mutex linesMutex;
        int32_t status =
            process.run({.executablePath = TESSARON_TOOL_PATH, .arguments = arguments}, [&](const std::string& line) {
                std::lock_guard lock(linesMutex);
                lines.push_back(line);
            });
        return {status, lines};
    }

    fs::path logFolder() const { return folder_ / "support" / "Logs"; }

    TempDir folder_{"pipeline-tool"};
    fs::path capture_ = folder_ / "capture";
};

}  // namespace

TEST_F(PipelineTool, RunPrintsEveryStateAndLeavesACompletedReport) {
    auto [status, lines] = runTool(runArguments("20"));
    EXPECT_EQ(status, 0);
    const fs::path workspace = folder_ / "output" / "Tessaron_workspace";
    EXPECT_THAT(lines, Contains("workspace: " + workspace.string()));
    for (const char* state : {"state: processingSfM", "state: preparingData", "state: training", "state: exporting",
                              "state: completed"})
        EXPECT_THAT(lines, Contains(state));
    EXPECT_THAT(lines, Contains("[EXPORT] ═══ Pipeline complete! ═══"));
    EXPECT_EQ(engines::PLYCheck::validate(workspace / "output.ply").vertexCount, 150);

    RunReport report = RunReport::decode(core::readWholeFile(logFolder() / "last_run.json"));
    EXPECT_EQ(report.outcome, RunReport::Outcome::completed);
    EXPECT_TRUE(report.endedAt.has_value());

    // A single-model workspace has nothing to resume.
    auto [scanStatus, scanLines] = runTool({"scan", workspace.string()});
    EXPECT_EQ(scanStatus, 1);
}

// A model that training made worse completes, and its report says so.
TEST_F(PipelineTool, TheReportKeepsTheWarningsOfAPoorResult) {
    ScopedEnvironment knobs({{"TESSARON_TEST_ENGINE_PSNR", "7.9"}, {"TESSARON_TEST_ENGINE_SEED_PSNR", "9.8"}});
    std::vector<std::string> arguments = runArguments("20");
    std::erase(arguments, std::string("--no-eval"));
    auto [status, lines] = runTool(arguments);
    EXPECT_EQ(status, 0);
    EXPECT_THAT(lines, Contains("[TRAIN] ⚠ Model PSNR fell below its untrained seeds' — training made it worse. "
                                "Quality may be poor."));
    RunReport report = RunReport::decode(core::readWholeFile(logFolder() / "last_run.json"));
    EXPECT_EQ(report.outcome, RunReport::Outcome::completed);
    EXPECT_EQ(report.warnings,
              (std::vector<std::string>{
                  "Model PSNR is very low (<15 dB). Quality may be poor.",
                  "Model PSNR fell below its untrained seeds' — training made it worse. Quality may be poor."}));
}

TEST_F(PipelineTool, UnknownOptionsAreRefused) {
    auto [status, lines] = runTool({"pipeline", "run", "a", "b", "--colour", "blue"});
    EXPECT_EQ(status, 2);
}

// The process ends by SIGKILL in the middle of training; its report stays
// "running", and the next launch offers it as interrupted exactly once.
TEST_F(PipelineTool, AKilledRunIsReportedInterruptedOnce) {
    ScopedEnvironment slowEngine({{"TESSARON_TEST_ENGINE_STEP_SLEEP_MS", "20"}});
    std::vector<std::string> arguments = runArguments("3000");
    arguments.insert(arguments.begin(), TESSARON_TOOL_PATH);
    const pid_t pid = tessaron::testing::spawnInOwnProcessGroup(arguments, "/dev/null");
    ASSERT_GT(pid, 0);

    std::string runningReport;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        try {
            runningReport = core::readWholeFile(logFolder() / "last_run.json");
            if (RunReport::decode(runningReport).step == "Training") break;
        } catch (const core::Error&) {
            // not written yet
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(-pid, SIGKILL);
    int waitStatus = 0;
    ::waitpid(pid, &waitStatus, 0);
    ASSERT_TRUE(WIFSIGNALED(waitStatus));

    EXPECT_THAT(runningReport, HasSubstr("\"step\":\"Training\",\"outcome\":\"running\"}"));
    EXPECT_THAT(runningReport, ::testing::Not(HasSubstr("\"error\"")));
    EXPECT_THAT(runningReport, ::testing::Not(HasSubstr("\"endedAt\"")));

    core::InMemoryPreferenceStore defaults;
    auto interrupted = RunReport::pendingInterruptedRun(logFolder(), defaults);
    ASSERT_TRUE(interrupted.has_value());
    EXPECT_EQ(interrupted->outcome, RunReport::Outcome::interrupted);
    EXPECT_EQ(interrupted->step, "Training");
    EXPECT_THAT(interrupted->summary(), HasSubstr("Tessaron closed unexpectedly at Training"));
    EXPECT_FALSE(RunReport::pendingInterruptedRun(logFolder(), defaults).has_value());
}

namespace {

// A COLMAP that records its pid, then sleeps in its first step as the child
// itself (exec), so the test can see whether it outlives the harness.
fs::path recordingSleepingCOLMAP(const fs::path& folder) {
    return tessaron::testing::writeScript(
        folder / "colmap", "if [ \"$1\" = \"-h\" ]; then echo 'COLMAP 3.8 -- Structure-from-Motion'; exit 0; fi\n"
                           "echo $$ > '" + (folder / "colmap.pid").string() + "'\n"
                           "exec sleep 30");
}

// A folder of small photos that decode (the synthetic capture's images are
// not pictures).
fs::path writePhotos(const fs::path& folder) {
    fs::create_directories(folder);
    for (int index = 0; index < 3; ++index) {
        cv::Mat image(24, 32, CV_8UC3, cv::Scalar(40 * index, 80, 120));
        cv::imwrite((folder / ("photo" + std::to_string(index) + ".png")).string(), image);
    }
    return folder;
}

bool processGone(pid_t pid, std::chrono::milliseconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    do {
        if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

struct Interruption {
    const char* name;
    int signal;
};

void PrintTo(const Interruption& interruption, std::ostream* stream) { *stream << interruption.name; }

class PipelineToolInterrupted : public PipelineTool, public ::testing::WithParamInterface<Interruption> {};

}  // namespace

// The harness alone gets the signal (not its process group), as from kill or
// a service manager, while COLMAP runs. SIGINT and SIGTERM cancel the run;
// SIGKILL cannot be caught, and the child ends with its parent all the same.
TEST_P(PipelineToolInterrupted, DuringCOLMAPLeavesNoChildBehind) {
    const int signal = GetParam().signal;
    const fs::path colmap = recordingSleepingCOLMAP(folder_.path());
    const fs::path output = folder_ / "tool-output.txt";
    const pid_t pid = tessaron::testing::spawnInOwnProcessGroup(
        {TESSARON_TOOL_PATH, "pipeline", "run", writePhotos(folder_ / "photos").string(), (folder_ / "output").string(),
         "--colmap", colmap.string(), "--support", (folder_ / "support").string(), "--report"},
        output);
    ASSERT_GT(pid, 0);
    const fs::path pidFile = folder_ / "colmap.pid";
    std::string pidText;
    ASSERT_TRUE(tessaron::testing::waitUntil([&] {
        if (!fs::exists(pidFile)) return false;
        pidText = tessaron::testing::readTextFile(pidFile);
        return pidText.find('\n') != std::string::npos;
    }));
    const pid_t colmapPid = pid_t(std::stol(pidText));

    ::kill(pid, signal);
    int waitStatus = 0;
    ::waitpid(pid, &waitStatus, 0);
    EXPECT_TRUE(processGone(colmapPid, tessaron::testing::conditionTimeout))
        << "COLMAP " << colmapPid << " outlived the harness";
    if (!processGone(colmapPid, std::chrono::milliseconds(0))) ::kill(colmapPid, SIGKILL);

    const RunReport report = RunReport::decode(core::readWholeFile(logFolder() / "last_run.json"));
    if (signal == SIGKILL) {
        ASSERT_TRUE(WIFSIGNALED(waitStatus));
        EXPECT_EQ(report.outcome, RunReport::Outcome::running);
        return;
    }
    ASSERT_TRUE(WIFEXITED(waitStatus));
    EXPECT_EQ(WEXITSTATUS(waitStatus), 130);
    EXPECT_EQ(report.outcome, RunReport::Outcome::cancelled);
    EXPECT_EQ(report.step, "Camera poses (COLMAP)");
    EXPECT_FALSE(report.error.has_value());
    EXPECT_TRUE(report.endedAt.has_value());
    // The COLMAP the cancel ended did not fail: the run ends as a cancel.
    const std::string printed = tessaron::testing::readTextFile(output);
    EXPECT_THAT(printed, HasSubstr("\n[SFM] Pipeline cancelled.\n"));
    EXPECT_THAT(printed, ::testing::Not(HasSubstr("state: error")));
    EXPECT_THAT(printed, ::testing::Not(HasSubstr("COLMAP error")));
    EXPECT_THAT(printed, HasSubstr("\nPipeline cancelled.\n"));
}

// A terminal's SIGINT while the harness asks for the plan's approval ends
// the run at once, not when Enter is pressed next: its input stays open and
// silent here, as an unanswered terminal's does.
TEST_F(PipelineTool, AnInterruptAtTheApprovalPromptEndsTheRunWithoutAnAnswer) {
    tessaron::testing::PartitionedCapture::write(folder_ / "town");
    int silentInput[2];
    ASSERT_EQ(::pipe(silentInput), 0);
    const fs::path output = folder_ / "tool-output.txt";
    const pid_t pid = tessaron::testing::spawnInOwnProcessGroup(
        {TESSARON_TOOL_PATH, "pipeline", "run", (folder_ / "town").string(), (folder_ / "output").string(), "--skip-sfm",
         (folder_ / "town").string(), "--partition", "--ram-limit",
         core::shortestText(tessaron::testing::PartitionedCapture::ramLimitGB), "--downscale", "1", "--iterations", "30",
         "--support", (folder_ / "support").string(), "--report"},
        output, silentInput[0]);
    ::close(silentInput[0]);
    ASSERT_GT(pid, 0);
    bool prompted = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!prompted && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        prompted = tessaron::testing::readTextFile(output).find("Approve the partition plan? [y/N] ") != std::string::npos;
    }

    ::kill(pid, SIGINT);
    int waitStatus = 0;
    pid_t ended = 0;
    const auto waitDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((ended = ::waitpid(pid, &waitStatus, WNOHANG)) == 0 && std::chrono::steady_clock::now() < waitDeadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (ended == 0) {
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, &waitStatus, 0);
    }
    ::close(silentInput[1]);
    ASSERT_TRUE(prompted);
    ASSERT_EQ(ended, pid) << "the harness waited for an answer after SIGINT";
    ASSERT_TRUE(WIFEXITED(waitStatus));
    EXPECT_EQ(WEXITSTATUS(waitStatus), 130);
    EXPECT_THAT(tessaron::testing::readTextFile(output), HasSubstr("\nPipeline cancelled.\n"));
    EXPECT_EQ(RunReport::decode(core::readWholeFile(logFolder() / "last_run.json")).outcome,
              RunReport::Outcome::cancelled);
}

INSTANTIATE_TEST_SUITE_P(Signals, PipelineToolInterrupted,
                         ::testing::Values(Interruption{"SIGINT", SIGINT}, Interruption{"SIGTERM", SIGTERM},
                                           Interruption{"SIGKILL", SIGKILL}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PipelineTool, OptionsOutOfRangeAreRefusedBeforeAnythingRuns) {
    const std::string images = (capture_ / "images").string(), output = (folder_ / "output").string();
    for (const auto& [option, value, complaint] :
         std::vector<std::tuple<std::string, std::string, std::string>>{
             {"--cap-max", "-5", "--cap-max must be at least 1 (got -5)"},
             {"--ram-limit", "-1", "--ram-limit must be more than 0 GB (got -1.0)"},
             {"--ram-limit", "nan", "--ram-limit"},
             {"--iterations", "0", "--iterations must be at least 1 (got 0)"},
             {"--downscale", "-1", "--downscale must be at least 0 (got -1)"},
             {"--iterations", "99999999999", "--iterations needs a valid value"}}) {
        SCOPED_TRACE(option + " " + value);
        auto [status, lines] = runTool({"pipeline", "run", images, output, option, value});
        EXPECT_EQ(status, 2);
        EXPECT_THAT(lines, Contains(HasSubstr(complaint)));
        EXPECT_FALSE(fs::exists(output));
    }
    auto [planStatus, planLines] = runTool({"plan", "synthetic:streets", "--ram", "-1"});
    EXPECT_EQ(planStatus, 2);
}

// A training setting past the engine's limit is refused before COLMAP, not
// after it has run: no workspace, no COLMAP database, the option and value
// named. The limit itself passes and reaches COLMAP.
TEST_F(PipelineTool, TrainingSettingsPastTheEnginesLimitsAreRefusedBeforeCOLMAP) {
    const fs::path photos = writePhotos(folder_ / "photos"), output = folder_ / "output";
    const fs::path colmapRan = folder_ / "colmap.ran";
    const fs::path colmap = tessaron::testing::writeScript(
        folder_ / "bin" / "colmap", "if [ \"$1\" = \"-h\" ]; then echo 'COLMAP 3.8 -- Structure-from-Motion'; exit 0; fi\n"
                                  "touch '" + colmapRan.string() + "'\nexit 1");
    const std::string support = (folder_ / "support").string();
    for (const auto& [option, value, complaint] :
         {std::tuple{"--iterations", "2000000", "--iterations must be at most 1000000 (got 2000000)"},
          std::tuple{"--iterations", "1000001", "--iterations must be at most 1000000 (got 1000001)"},
          std::tuple{"--cap-max", "10000001", "--cap-max must be at most 10000000 (got 10000001)"}}) {
        SCOPED_TRACE(std::string(option) + " " + value);
        auto [status, lines] = runTool({"pipeline", "run", photos.string(), output.string(), option, value, "--colmap",
                                        colmap.string(), "--support", support});
        EXPECT_EQ(status, 2);
        EXPECT_THAT(lines, Contains(std::string("tessaron-tool: pipeline run: ") + complaint));
        EXPECT_FALSE(fs::exists(output));
        EXPECT_FALSE(fs::exists(colmapRan));
    }
    auto [status, lines] = runTool({"pipeline", "run", photos.string(), output.string(), "--iterations", "1000000",
                                    "--cap-max", "10000000", "--colmap", colmap.string(), "--support", support});
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(fs::exists(colmapRan));    // The engine run alone keeps the same limits, never narrowing 4294967396 to 100.
    auto [trainStatus, trainLines] =
        runTool({"train", (folder_ / "dataset").string(), (folder_ / "out.ply").string(), "-n", "4294967396"});
    EXPECT_EQ(trainStatus, 2);
    EXPECT_THAT(trainLines, Contains("tessaron-tool: train: -n must be at most 1000000 (got 4294967396)"));
}

TEST_F(PipelineTool, APhotoFolderWithoutImagesIsRefusedBeforeAWorkspaceExists) {
    const fs::path empty = folder_ / "empty", output = folder_ / "output";
    fs::create_directories(empty / "notes");
    tessaron::testing::writeTextFile(empty / "readme.txt", "no photos here");
    tessaron::testing::writeTextFile(empty / "broken.jpg", "not a JPEG");
    const fs::path colmap = recordingSleepingCOLMAP(folder_.path());
    const fs::path photos = writePhotos(folder_ / "photos");
    for (const auto& input : {empty, folder_ / "missing", photos}) {
        SCOPED_TRACE(input.string());
        // The last: an output inside the photo folder.
        const fs::path target = input == photos ? input / "runs" : output;
        auto [status, lines] = runTool({"pipeline", "run", input.string(), target.string(), "--colmap", colmap.string(),
                                        "--support", (folder_ / "support").string()});
        EXPECT_EQ(status, 1);
        EXPECT_FALSE(fs::exists(target));
        EXPECT_FALSE(fs::exists(folder_ / "colmap.pid"));
    }
}

// Photos that show only when decoded are the run's own check's to refuse:
// it decodes the folder once, and says so once.
TEST_F(PipelineTool, PhotosThatDoNotDecodeAreRefusedByTheRunsOneCheck) {
    const fs::path photos = folder_ / "photos";
    fs::create_directories(photos);
    for (const char* name : {"a.jpg", "b.jpg"}) tessaron::testing::writeTextFile(photos / name, "not a JPEG");
    const fs::path colmap = recordingSleepingCOLMAP(folder_.path());
    auto [status, lines] = runTool({"pipeline", "run", photos.string(), (folder_ / "output").string(), "--colmap",
                                    colmap.string(), "--support", (folder_ / "support").string()});
    EXPECT_EQ(status, 1);
    const std::string refusal = "Too few photos in " + photos.string() +
                                " for structure from motion, which needs at least 2: 0 of its 2 photos can be read "
                                "(left out: a.jpg (not a readable image), b.jpg (not a readable image)).";
    EXPECT_THAT(lines, Contains("[SFM] Error: " + refusal));
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.find("Too few photos") != std::string::npos; }),
              2);  // the log line and the error state
    EXPECT_FALSE(fs::exists(folder_ / "colmap.pid"));
}

// The harness reads the report and its defaults file back like the
// application: a FIFO or a file of gigabytes is refused at once with the
// reason, never waited on.
TEST_F(PipelineTool, ReportFilesThatAreNotSmallRegularFilesAreRefusedWithTheReason) {
    const fs::path logs = folder_ / "logs";
    auto [began, ignored] = runTool({"report", "begin", logs.string()});
    ASSERT_EQ(began, 0);
    const fs::path defaults = folder_ / "defaults.json";
    tessaron::testing::makeFifo(defaults);
    std::pair<int32_t, std::vector<std::string>> pending;
    EXPECT_TRUE(tessaron::testing::returnsWithin(
        defaults, [&] { pending = runTool({"report", "pending", logs.string(), defaults.string()}); }));
    EXPECT_EQ(pending.first, 1);
    EXPECT_THAT(pending.second, Contains(HasSubstr(defaults.string() + ": is a FIFO, not a regular file")));

    const fs::path report = logs / "last_run.json";
    fs::resize_file(report, std::uintmax_t(3) << 30);
    auto [summaryStatus, summary] = runTool({"report", "summary", logs.string()});
    EXPECT_EQ(summaryStatus, 1);
    EXPECT_THAT(summary, Contains(HasSubstr("more than the " + std::to_string(RunReport::maximumFileBytes))));
    fs::remove(defaults);
    auto [pendingStatus, lines] = runTool({"report", "pending", logs.string(), defaults.string()});
    EXPECT_EQ(pendingStatus, 0);
    EXPECT_THAT(lines, Contains("⚠ Could not read " + report.string() + ": it holds 3221225472 bytes, more than the " +
                                std::to_string(RunReport::maximumFileBytes) + " such a file can have"));
    EXPECT_THAT(lines, Contains("no interrupted run"));
}

TEST_F(PipelineTool, ScenePhotosWritesAPhotoFolderForARun) {
    const fs::path photos = folder_ / "photos";
    auto [status, lines] = runTool({"scene-photos", photos.string(), "--images", "3"});
    ASSERT_EQ(status, 0);
    EXPECT_THAT(lines, Contains("Wrote 3 photos to " + photos.string()));
    for (const char* name : {"image_000.jpg", "image_001.jpg", "image_002.jpg"}) {
        const cv::Mat photo = cv::imread((photos / name).string());
        EXPECT_EQ(photo.cols, 640) << name;
        EXPECT_EQ(photo.rows, 480) << name;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(photos), fs::directory_iterator()), 3);

    auto [refused, refusal] = runTool({"scene-photos", (folder_ / "none").string(), "--images", "1"});
    EXPECT_EQ(refused, 2);
    EXPECT_THAT(refusal, Contains(HasSubstr("--images must be at least 2 (got 1)")));
    EXPECT_FALSE(fs::exists(folder_ / "none"));
}
