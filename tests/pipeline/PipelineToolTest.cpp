// `tessaron-tool pipeline run` and `scan` from outside, and a run whose
// process is killed outright: the next launch finds it interrupted, once.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "core/AtomicFile.hpp"
#include "engines/PLYCheck.hpp"
#include "engines/ProcessRunner.hpp"
#include "pipeline/RunReport.hpp"
#include "PipelineTestSupport.hpp"
#include "support/SyntheticDataset.hpp"
#include "support/TempDir.hpp"

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
                iterations,   "--no-eval",     "--ram-limit",                  "64"};
    }

    // The tool's exit status and its output lines.
    std::pair<int32_t, std::vector<std::string>> runTool(const std::vector<std::string>& arguments) {
        engines::ProcessRunner process;
        std::vector<std::string> lines;
        std::mutex linesMutex;
        int32_t status = process.run(TESSARON_TOOL_PATH, arguments, std::nullopt, std::nullopt, [&](const std::string& line) {
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

TEST_F(PipelineTool, UnknownOptionsAreRefused) {
    auto [status, lines] = runTool({"pipeline", "run", "a", "b", "--colour", "blue"});
    EXPECT_EQ(status, 2);
}

// The process ends by SIGKILL in the middle of training; its report stays
// "running", and the next launch offers it as interrupted exactly once.
TEST_F(PipelineTool, AKilledRunIsReportedInterruptedOnce) {
    ScopedEnvironment slowEngine({{"TESSARON_STANDIN_STEP_SLEEP_MS", "20"}});
    std::vector<std::string> arguments = runArguments("3000");
    arguments.insert(arguments.begin(), TESSARON_TOOL_PATH);
    const pid_t pid = tessaron::testing::spawnInOwnProcessGroup(arguments, "/dev/null");
    ASSERT_GT(pid, 0);

    std::string runningReport;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        try {
            runningReport = core::readWholeFile(logFolder() / "last_run.json");
            if (RunReport::decode(runningReport).step == "training") break;
        } catch (const core::Error&) {
            // not written yet
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(-pid, SIGKILL);
    int waitStatus = 0;
    ::waitpid(pid, &waitStatus, 0);
    ASSERT_TRUE(WIFSIGNALED(waitStatus));

    EXPECT_THAT(runningReport, HasSubstr("\"step\":\"training\",\"outcome\":\"running\"}"));
    EXPECT_THAT(runningReport, ::testing::Not(HasSubstr("\"error\"")));
    EXPECT_THAT(runningReport, ::testing::Not(HasSubstr("\"endedAt\"")));

    core::InMemoryPreferenceStore defaults;
    auto interrupted = RunReport::pendingInterruptedRun(logFolder(), defaults);
    ASSERT_TRUE(interrupted.has_value());
    EXPECT_EQ(interrupted->outcome, RunReport::Outcome::interrupted);
    EXPECT_EQ(interrupted->step, "training");
    EXPECT_THAT(interrupted->summary(), HasSubstr("Tessaron closed unexpectedly at training"));
    EXPECT_FALSE(RunReport::pendingInterruptedRun(logFolder(), defaults).has_value());
}
