// Resume of an interrupted partitioned run: workspaces left by a run killed
// outright, or by a finished run with cells taken away, are scanned and
// resumed with the tests' engine.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>
#include <tuple>

#include "PartitionedRunSupport.hpp"
#include "PipelineTestSupport.hpp"
#include "core/AtomicFile.hpp"
#include "core/NumberText.hpp"
#include "engines/MemoryEstimate.hpp"
#include "engines/PLYCheck.hpp"
#include "partition/PartitionPlan.hpp"
#include "pipeline/PipelineManager.hpp"
#include "pipeline/WorkspaceScanner.hpp"
#include "support/TempDir.hpp"

using namespace tessaron;
using partition::PartitionPlan;
using pipeline::PipelineLogStep;
using pipeline::PipelineManager;
using pipeline::PipelineState;
using pipeline::WorkspaceScanner;
using ApprovalOutcome = pipeline::PipelineManager::ApprovalOutcome;
using Kind = pipeline::PipelineState::Kind;
using tessaron::testing::changeCallbacks;
using tessaron::testing::kinds;
using tessaron::testing::PartitionedCapture;
using tessaron::testing::PlanAnswerer;
using tessaron::testing::RunRecorder;
using tessaron::testing::ScopedEnvironment;
using tessaron::testing::TempDir;
using tessaron::testing::testConfiguration;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;
namespace support = tessaron::testing;

namespace {

constexpr PipelineLogStep train = PipelineLogStep::training;
constexpr PipelineLogStep exportStep = PipelineLogStep::export_;

std::vector<std::string> cellsWithOutput(const fs::path& partitions) {
    std::vector<std::string> cells;
    for (const auto& entry : fs::directory_iterator(partitions))
        if (fs::exists(entry.path() / "output.ply")) cells.push_back(entry.path().filename().string());
    std::sort(cells.begin(), cells.end());
    return cells;
}

class Resume : public ::testing::Test {
protected:
    void SetUp() override { PartitionedCapture::write(capture_); }

    // A manager that reports to a fresh recorder.
    std::shared_ptr<PipelineManager> newManager(RunRecorder& recorder) {
        auto manager = PipelineManager::create({}, testConfiguration(folder_ / "support"));
        recorder.attach(*manager);
        return manager;
    }

    // A partitioned run of the capture into `workspace`, approved and left
    // to finish.
    void finishedRun(const fs::path& workspace) {
        RunRecorder recorder;
        auto manager = newManager(recorder);
        PlanAnswerer answerer(*manager, ApprovalOutcome::approved);
        manager->runPipeline(PartitionedCapture::runParameters(capture_, workspace));
        ASSERT_EQ(recorder.states().back(), Kind::completed);
    }

    // Resumes with the settings the workspace recorded.
    void resume(const fs::path& workspace, int iterations = 7000, std::optional<int64_t> capMax = std::nullopt) {
        const pipeline::WorkspaceScanResult scan = WorkspaceScanner::scan(workspace);
        ASSERT_TRUE(scan.downscaleFromLog && scan.capMaxFromLog && scan.evalFromLog);
        manager_ = newManager(recorder_);
        manager_->resumeInterruptedTraining({.scan = scan,
                                             .iterations = iterations,
                                             .downscale = int(*scan.downscaleFromLog),
                                             .capMax = capMax.value_or(*scan.capMaxFromLog),
                                             .eval = *scan.evalFromLog});
    }

    std::vector<std::string> banners() const {
        std::vector<std::string> found;
        for (const std::string& text : recorder_.texts())
            if (text.starts_with("═══ Training Cell ")) found.push_back(text);
        return found;
    }

    PartitionPlan savedPlan() const { return PartitionPlan::load(partitions() / "partition_plan.json"); }
    fs::path partitions() const { return workspace_ / "partitions"; }

    TempDir folder_{"resume"};
    fs::path capture_ = folder_ / "capture";
    fs::path workspace_ = folder_ / "Tessaron_workspace";
    std::shared_ptr<PipelineManager> manager_;
    RunRecorder recorder_;
};

}  // namespace

// The developer tool runs a partitioned run and is killed outright while
// the engine trains the second cell. The resume trains only what was not
// finished, and ends where a run that was never interrupted ends.
TEST_F(Resume, RunKilledDuringTheSecondCellEndsAsAnUninterruptedRun) {
    ASSERT_TRUE(fs::exists(TESSARON_TOOL_PATH)) << "build tessaron-tool first";
    const fs::path testEngine = TESSARON_TEST_ENGINE_PATH;
    ASSERT_TRUE(fs::exists(testEngine)) << "build the trevik_test_engine target first";
    // The engine's second run hangs, so that the kill lands inside it.
    const fs::path calls = folder_ / "engine-calls";
    const fs::path engine = support::writeScript(
        folder_ / "engine" / "trevik",
        "calls=$(cat '" + calls.string() + "' 2>/dev/null || echo 0)\n"
        "calls=$((calls + 1))\n"
        "echo $calls > '" + calls.string() + "'\n"
        "if [ $calls -eq 2 ]; then echo 'step=1 loss=n/a splats=1 1.0ms/step'; exec sleep 60; fi\n"
        "exec '" + testEngine.string() + "' \"$@\"");

    const fs::path outputFolder = folder_ / "interrupted";
    const fs::path printed = folder_ / "tool-output.txt";
    std::vector<std::string> arguments = {TESSARON_TOOL_PATH, "pipeline", "run", capture_.string(),
                                          outputFolder.string(), "--skip-sfm", capture_.string(), "--partition",
                                          "--approve", "--ram-limit", core::shortestText(PartitionedCapture::ramLimitGB),
                                          "--downscale", "1", "--iterations", "30", "--trevik", engine.string(),
                                          "--support", (folder_ / "support").string()};
    const pid_t pid = support::spawnInOwnProcessGroup(arguments, printed);
    ASSERT_GT(pid, 0);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool secondCellTraining = false;
    while (!secondCellTraining && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const std::string text = support::readTextFile(printed);
        const size_t banner = text.find("═══ Training Cell 2/");
        secondCellTraining = banner != std::string::npos && text.find("[TRAIN] step=1 ", banner) != std::string::npos;
    }
    ::kill(-pid, SIGKILL);
    int waitStatus = 0;
    ::waitpid(pid, &waitStatus, 0);
    ASSERT_TRUE(secondCellTraining);
    ASSERT_TRUE(WIFSIGNALED(waitStatus));

    workspace_ = outputFolder / "Tessaron_workspace";
    const PartitionPlan plan = savedPlan();
    const std::vector<std::string> ids = [&] {
        std::vector<std::string> trainable;
        for (const auto& cell : plan.trainableCells()) trainable.push_back(cell.id);
        return trainable;
    }();
    ASSERT_GE(ids.size(), 3u);
    const pipeline::WorkspaceScanResult scan = WorkspaceScanner::scan(workspace_);
    ASSERT_EQ(scan.completedCells().size(), 1u);
    EXPECT_EQ(scan.completedCells()[0].cellId, ids[0]);
    EXPECT_TRUE(scan.missingPlannedCells.empty());
    const auto firstCellWritten = fs::last_write_time(partitions() / ids[0] / "output.ply");

    resume(workspace_, 30);

    EXPECT_THAT(kinds(recorder_.states()), ElementsAre(Kind::training, Kind::exporting, Kind::completed));
    const std::vector<std::string> texts = recorder_.texts();
    ASSERT_GE(texts.size(), 6u);
    EXPECT_EQ(texts[0], "═══ Resuming Interrupted VastGaussian Training ═══");
    EXPECT_EQ(texts[1], "Workspace: " + workspace_.string());
    EXPECT_EQ(texts[2], "Completed cells: 1");
    EXPECT_EQ(texts[3], "Incomplete cells: " + std::to_string(ids.size() - 1));
    EXPECT_EQ(texts[4], "Parameters from log — downscale: 1x, cap_max: 1000000, iterations: 30");
    EXPECT_EQ(texts[5], "✓ Loaded saved partition plan (" + std::to_string(plan.cells.size()) + " cells, " +
                            std::to_string(ids.size()) + " trainable)");
    std::vector<std::string> unfinished(ids.begin() + 1, ids.end());
    std::string listed;
    for (const std::string& id : unfinished) listed += (listed.empty() ? "" : ", ") + id;
    EXPECT_TRUE(recorder_.loggedAs(train, "Cells to train: " + listed));
    EXPECT_TRUE(recorder_.loggedAs(train, "Training " + std::to_string(unfinished.size()) + " remaining cell(s)..."));
    std::vector<std::string> expectedBanners;
    for (size_t index = 0; index < unfinished.size(); ++index)
        expectedBanners.push_back("═══ Training Cell " + std::to_string(index + 1) + "/" +
                                  std::to_string(unfinished.size()) + ": " + unfinished[index] + " ═══");
    EXPECT_EQ(banners(), expectedBanners);
    EXPECT_EQ(fs::last_write_time(partitions() / ids[0] / "output.ply"), firstCellWritten);
    EXPECT_TRUE(recorder_.loggedAs(train, "All remaining cells trained. Collecting PLYs for merge..."));
    EXPECT_EQ(texts.back(), "═══ Resume pipeline complete! ═══");
    EXPECT_EQ(recorder_.outputs(), std::vector<std::string>{(workspace_ / "output.ply").string()});

    // The same run, never interrupted.
    const fs::path reference = folder_ / "reference";
    finishedRun(reference);
    EXPECT_EQ(cellsWithOutput(partitions()), cellsWithOutput(reference / "partitions"));
    const int64_t merged = engines::PLYCheck::validate(workspace_ / "output.ply").vertexCount;
    EXPECT_EQ(merged, engines::PLYCheck::validate(reference / "output.ply").vertexCount);
    EXPECT_EQ(merged, support::keptInMergeLog(texts));
    EXPECT_EQ(core::readWholeFile(workspace_ / "output.ply"), core::readWholeFile(reference / "output.ply"));
}

TEST_F(Resume, CellTheRunNeverPreparedIsPreparedAndTrained) {
    finishedRun(workspace_);
    const std::vector<std::string> ids = [&] {
        std::vector<std::string> trainable;
        for (const auto& cell : savedPlan().trainableCells()) trainable.push_back(cell.id);
        return trainable;
    }();
    ASSERT_GE(ids.size(), 4u);
    fs::remove_all(partitions() / ids[3]);
    fs::remove(partitions() / ids[1] / "output.ply");
    // An earlier attempt's partial output is replaced before the engine runs.
    support::writeTextFile(partitions() / ids[1] / "output.partial.ply", "an earlier attempt");
    // Person masks beside the workspace's images: the resume trains with them.
    support::writeTextFile(workspace_ / "masks" / "frame_000001.png", "mask");

    resume(workspace_, 7000, 12345);

    EXPECT_THAT(kinds(recorder_.states()),
                ElementsAre(Kind::training, Kind::materializingCells, Kind::training, Kind::exporting, Kind::completed));
    EXPECT_TRUE(recorder_.loggedAs(train, "Preparing 1 cell(s) the run never prepared…"));
    EXPECT_TRUE(recorder_.loggedAs(train, "Cells to train: " + ids[1] + ", " + ids[3]));
    EXPECT_EQ(banners(), (std::vector<std::string>{"═══ Training Cell 1/2: " + ids[1] + " ═══",
                                                   "═══ Training Cell 2/2: " + ids[3] + " ═══"}));
    // The capMax argument is only shown: each cell keeps its own cap.
    EXPECT_TRUE(recorder_.loggedAs(train, "Parameters from log — downscale: 1x, cap_max: 12345, iterations: 7000"));
    for (const std::string& text : recorder_.texts()) {
        if (!text.starts_with("Command: trevik ")) continue;
        EXPECT_THAT(text, Not(HasSubstr("--cap-max 12345")));
        EXPECT_THAT(text, HasSubstr("--mask-dir " + (workspace_ / "masks").string()));
        EXPECT_THAT(text, Not(HasSubstr("--cull-radius")));
        EXPECT_THAT(text, HasSubstr("--eval --early-stop 0.05"));
    }
    for (const std::string& id : ids) EXPECT_GT(engines::PLYCheck::validate(partitions() / id / "output.ply").vertexCount, 0);
    EXPECT_FALSE(fs::exists(partitions() / ids[1] / "output.partial.ply"));
    EXPECT_EQ(recorder_.texts().back(), "═══ Resume pipeline complete! ═══");
}

TEST_F(Resume, MissingCellThatCannotBePreparedLeavesTheModelIncomplete) {
    finishedRun(workspace_);
    PartitionPlan plan = savedPlan();
    const std::string gone = plan.trainableCells()[2].id;
    const std::string unfinished = plan.trainableCells()[0].id;
    for (auto& cell : plan.cells)
        if (cell.id == gone) cell.expandedPointIds.reset();
    plan.save(partitions() / "partition_plan.json");
    fs::remove_all(partitions() / gone);
    fs::remove(partitions() / unfinished / "output.ply");

    resume(workspace_);

    EXPECT_THAT(kinds(recorder_.states()), ElementsAre(Kind::training, Kind::exporting, Kind::error));
    EXPECT_TRUE(recorder_.loggedAs(train, "⚠ Cell " + gone + " has no data and can't be prepared — that region will be missing."));
    EXPECT_TRUE(recorder_.loggedAs(exportStep, "⚠ 1 cell PLYs still missing: " + gone));
    EXPECT_EQ(recorder_.outputs().size(), 1u);
    EXPECT_EQ(recorder_.states().back(),
              PipelineState::error("The model is incomplete: 1 region(s) failed or are missing (" + gone +
                                   "). output.ply has only the other regions — see the log for the cause."));
}

TEST_F(Resume, NothingLeftToTrainEndsInItsError) {
    finishedRun(workspace_);
    resume(workspace_);

    const std::vector<std::string> texts = recorder_.texts();
    EXPECT_THAT(texts, Contains("Cells to train: "));
    EXPECT_EQ(recorder_.states(), (std::vector<PipelineState>{
                                      Kind::training, PipelineState::error("No incomplete cells matched the "
                                                                           "reconstructed partition plan.")}));
    EXPECT_EQ(texts.back(), "⚠ No incomplete cells matched the reconstructed partition plan.");
}

// Finished cells were trained for the saved plan: without it (missing or
// unusable) the resume refuses with the reason instead of planning again
// and merging them with another plan's bounds. Nothing on disk changes.
TEST_F(Resume, WithoutAUsableSavedPlanFinishedCellsAreKeptAndTheResumeRefused) {
    finishedRun(workspace_);
    const std::string unfinished = savedPlan().trainableCells().back().id;
    fs::remove(partitions() / unfinished / "output.ply");
    const std::vector<std::string> finished = cellsWithOutput(partitions());
    std::string finishedList;
    for (const std::string& id : finished) finishedList += (finishedList.empty() ? "" : ", ") + id;
    const fs::path planFile = partitions() / "partition_plan.json";
    const std::string planText = support::readTextFile(planFile);

    for (const bool missing : {true, false}) {
        SCOPED_TRACE(missing ? "missing" : "unusable");
        if (missing)
            fs::remove(planFile);
        else
            support::writeTextFile(planFile, "{\"cells\": [");
        RunRecorder recorder;
        const pipeline::WorkspaceScanResult scan = WorkspaceScanner::scan(workspace_);
        newManager(recorder)->resumeInterruptedTraining({.scan = scan, .iterations = 1234, .downscale = 1});

        const std::string reason = missing ? "is missing" : "could not be used (Partition plan is not valid JSON: ";
        ASSERT_EQ(recorder.states().size(), 2u);
        const std::string message = recorder.states().back().message;
        EXPECT_THAT(message, HasSubstr("Cannot resume: the saved partition plan " + reason));
        EXPECT_THAT(message, HasSubstr("the " + std::to_string(finished.size()) + " finished cell(s) (" +
                                       finishedList + ") were trained for it."));
        EXPECT_EQ(recorder.texts().back(), "⚠ " + message);
        EXPECT_FALSE(recorder.logged("⚠ No saved partition plan found — recomputing from COLMAP data (cell IDs may differ)"));
        EXPECT_TRUE(recorder.cellEvents().empty());
        EXPECT_EQ(cellsWithOutput(partitions()), finished);
        EXPECT_EQ(fs::exists(planFile), !missing);
    }
    support::writeTextFile(planFile, planText);
}

// With no finished cell to lose, an unusable plan is made again with the
// settings the run recorded (its memory limit, cap and iterations, not the
// resume's iterations or this computer's memory): the same plan as the run's.
TEST_F(Resume, WithoutFinishedCellsTheSceneIsPlannedAgainWithTheRunsSettings) {
    finishedRun(workspace_);
    const PartitionPlan original = savedPlan();
    for (const auto& cell : original.trainableCells()) fs::remove(partitions() / cell.id / "output.ply");
    support::writeTextFile(partitions() / "partition_plan.json", "not a plan");

    resume(workspace_, 1234);

    EXPECT_TRUE(recorder_.loggedAs(train, "⚠ No saved partition plan found — recomputing from COLMAP data (cell IDs may differ)"));
    EXPECT_TRUE(recorder_.loggedAs(train, "Planning with the run's settings: memory limit 3.0 GB, cap 1000000, 30 iterations"));
    EXPECT_TRUE(recorder_.loggedAs(train, original.printSummary()));
    EXPECT_EQ(banners().size(), original.trainableCells().size());
    EXPECT_EQ(recorder_.states().back(), Kind::completed);
}

// A resumed cell that runs out of memory is split like a cell of the run:
// the banner total grows and the saved plan holds its quadrants.
TEST_F(Resume, ResumedCellThatRunsOutOfMemoryIsSplit) {
    finishedRun(workspace_);
    const PartitionPlan plan = savedPlan();
    std::map<double, std::string> byNeed;
    for (const auto& cell : plan.trainableCells())
        byNeed[engines::MemoryEstimate::gigabytes(plan.imageWidth, plan.imageHeight, cell.imageCount,
                                                  cell.recommendedCapMax)] = cell.id;
    const auto largest = std::prev(byNeed.end());
    const std::string parent = largest->second;
    fs::remove(partitions() / parent / "output.ply");
    ScopedEnvironment knobs({{"TESSARON_TEST_ENGINE_MEMORY_LIMIT_GB", core::fixedText((largest->first + std::prev(largest)->first) / 2, 6)},
                             {"TESSARON_TEST_ENGINE_OOM_MODE", "kill"}});

    resume(workspace_);

    EXPECT_TRUE(recorder_.loggedAs(train, "⚠ Cell " + parent + " training failed: trevik stopped by signal 9"));
    EXPECT_TRUE(recorder_.loggedAs(train, parent + " ran out of memory — retrying as 4 smaller cells…"));
    const std::vector<std::string> shown = banners();
    ASSERT_EQ(shown.size(), 5u);
    EXPECT_EQ(shown[0], "═══ Training Cell 1/1: " + parent + " ═══");
    EXPECT_EQ(shown[4], "═══ Training Cell 5/5: " + parent + "_s3 ═══");
    std::vector<std::string> savedIds;
    for (const auto& cell : savedPlan().cells) savedIds.push_back(cell.id);
    EXPECT_THAT(savedIds, Not(Contains(parent)));
    EXPECT_THAT(savedIds, Contains(parent + "_s0"));
    EXPECT_EQ(recorder_.states().back(), Kind::completed);
    EXPECT_EQ(engines::PLYCheck::validate(workspace_ / "output.ply").vertexCount,
              support::keptInMergeLog(recorder_.texts()));
}

TEST_F(Resume, CancelBeforeTheFirstCellTrainsEndsTheResume) {
    finishedRun(workspace_);
    const std::string unfinished = savedPlan().trainableCells().front().id;
    fs::remove(partitions() / unfinished / "output.ply");
    const pipeline::WorkspaceScanResult scan = WorkspaceScanner::scan(workspace_);
    manager_ = newManager(recorder_);
    changeCallbacks(*manager_, [manager = manager_.get()](PipelineManager::Callbacks& callbacks) {
        callbacks.onCellStarted = [manager](int64_t, int64_t, int64_t) { manager->cancel(); };
    });
    manager_->resumeInterruptedTraining({.scan = scan, .iterations = 7000, .downscale = 1, .eval = false});

    EXPECT_EQ(kinds(recorder_.states()), std::vector<Kind>{Kind::training});
    EXPECT_FALSE(recorder_.logged("⚠ Cell " + unfinished + " training failed: The operation was cancelled."));
    EXPECT_EQ(recorder_.texts().back(), "Pipeline cancelled.");
    EXPECT_TRUE(recorder_.outputs().empty());
}

// From the shell: a declined plan, then a finished workspace with one cell
// taken away, resumed with the settings the workspace recorded.
TEST_F(Resume, ToolAnswersThePlanAndResumes) {
    ASSERT_TRUE(fs::exists(TESSARON_TOOL_PATH)) << "build tessaron-tool first";
    const std::vector<std::string> common = {"--skip-sfm", capture_.string(), "--partition", "--ram-limit",
                                             core::shortestText(PartitionedCapture::ramLimitGB), "--downscale", "1",
                                             "--support", (folder_ / "support").string()};
    std::vector<std::string> declined = {"pipeline", "run", capture_.string(), (folder_ / "declined").string(),
                                         "--decline"};
    declined.insert(declined.end(), common.begin(), common.end());
    auto [declinedStatus, declinedLines] = support::runTool(declined);
    EXPECT_EQ(declinedStatus, 1);
    EXPECT_EQ(declinedLines.back(), "[PREP] Pipeline cancelled at partition approval.");

    finishedRun(workspace_);
    const std::string unfinished = savedPlan().trainableCells().back().id;
    fs::remove(partitions() / unfinished / "output.ply");
    auto [status, lines] = support::runTool({"pipeline", "resume", workspace_.string(), "--support",
                                             (folder_ / "support").string(), "--trevik", TESSARON_TEST_ENGINE_PATH});
    EXPECT_EQ(status, 0);
    EXPECT_THAT(lines, Contains("[TRAIN] Parameters from log — downscale: 1x, cap_max: 1000000, iterations: 30000"));
    EXPECT_THAT(lines, Contains("[TRAIN] Cells to train: " + unfinished));
    EXPECT_THAT(lines, Contains("state: completed"));
    EXPECT_EQ(lines.back(), "[EXPORT] ═══ Resume pipeline complete! ═══");
}

namespace {

// The id of a process that has ended: nothing runs under it.
pid_t endedProcess() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

// The engine's streamed temporaries anywhere under `folder`.
std::vector<std::string> engineTemporaries(const fs::path& folder) {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.path().filename().string().starts_with(".output.partial.ply."))
            found.push_back(fs::relative(entry.path(), folder).string());
    return found;
}

// A shell engine: its -o argument is in $out, then `body` runs.
std::string withOutputArgument(const std::string& body) {
    return "previous=''; out=''\n"
           "for argument in \"$@\"; do\n"
           "  if [ \"$previous\" = '-o' ]; then out=\"$argument\"; fi\n"
           "  previous=\"$argument\"\n"
           "done\n" +
           body;
}

std::vector<std::string> listing(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        names.push_back(fs::relative(entry.path(), folder).string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

// Names inside the workspace are its own: an output.ply planted as a link to
// a file elsewhere is replaced by the merged model, and that file keeps its
// bytes and its mode.
TEST_F(Resume, ALinkAtTheWorkspacesOutputIsReplacedAndWhatItNamesIsKept) {
    finishedRun(workspace_);
    fs::remove(partitions() / savedPlan().trainableCells().back().id / "output.ply");
    TempDir elsewhere{"elsewhere"};
    support::writeTextFile(elsewhere / "private.ply", "the user's own file");
    fs::permissions(elsewhere / "private.ply", fs::perms::owner_read | fs::perms::owner_write);
    fs::remove(workspace_ / "output.ply");
    fs::create_symlink(elsewhere / "private.ply", workspace_ / "output.ply");
    // The run log's folder too: the resume's log is written in the workspace.
    fs::rename(workspace_ / "Tessaron_logs", elsewhere / "logs");
    fs::create_symlink(elsewhere / "logs", workspace_ / "Tessaron_logs");
    const std::vector<std::string> logsBefore = listing(elsewhere / "logs");

    resume(workspace_);

    EXPECT_EQ(recorder_.states().back(), Kind::completed);
    EXPECT_FALSE(fs::is_symlink(workspace_ / "output.ply"));
    EXPECT_EQ(engines::PLYCheck::validate(workspace_ / "output.ply").vertexCount,
              support::keptInMergeLog(recorder_.texts()));
    EXPECT_EQ(support::readTextFile(elsewhere / "private.ply"), "the user's own file");
    EXPECT_EQ(fs::status(elsewhere / "private.ply").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(listing(elsewhere / "logs"), logsBefore);
    EXPECT_FALSE(fs::is_symlink(workspace_ / "Tessaron_logs"));
    ASSERT_EQ(recorder_.logFiles().size(), 1u);
    EXPECT_EQ(recorder_.logFiles()[0].parent_path(), workspace_ / "Tessaron_logs");
}

// A cell folder linked to a folder elsewhere is refused by name; the resume
// prepares that cell anew inside the workspace and never writes where the
// link pointed.
TEST_F(Resume, ACellFolderLinkedOutsideTheWorkspaceIsRefusedAndPreparedInside) {
    finishedRun(workspace_);
    const std::string linked = savedPlan().trainableCells().front().id;
    TempDir elsewhere{"elsewhere"};
    const fs::path outside = elsewhere / "cell";
    fs::rename(partitions() / linked, outside);
    fs::remove(outside / "output.ply");
    fs::create_symlink(outside, partitions() / linked);
    const std::vector<std::string> before = listing(outside);

    resume(workspace_);

    EXPECT_TRUE(recorder_.loggedAs(train, "⚠ Cell folder " + linked + " resolves outside the workspace (" +
                                              fs::canonical(outside).string() + ") — refused."));
    EXPECT_TRUE(recorder_.loggedAs(train, "Cells to train: " + linked));
    EXPECT_FALSE(fs::is_symlink(partitions() / linked));
    EXPECT_GT(engines::PLYCheck::validate(partitions() / linked / "output.ply").vertexCount, 0);
    EXPECT_EQ(listing(outside), before);
    EXPECT_EQ(recorder_.states().back(), Kind::completed);
}

// So is a cell whose model folder a link carries elsewhere: the resume
// prepares the cell's model inside the workspace, never where the link
// points.
TEST_F(Resume, ACellModelFolderLinkedOutsideTheWorkspaceIsRefusedAndPreparedInside) {
    finishedRun(workspace_);
    const std::string linked = savedPlan().trainableCells().front().id;
    TempDir elsewhere{"elsewhere"};
    const fs::path outside = elsewhere / "model";
    fs::create_directories(outside);
    fs::remove(partitions() / linked / "output.ply");
    fs::remove_all(partitions() / linked / "sparse" / "0");
    fs::create_symlink(outside, partitions() / linked / "sparse" / "0");

    resume(workspace_);

    EXPECT_TRUE(recorder_.loggedAs(train, "⚠ Cell folder " + linked + "/sparse/0 resolves outside the workspace (" +
                                              fs::canonical(outside).string() + ") — refused."));
    EXPECT_TRUE(recorder_.loggedAs(train, "Cells to train: " + linked));
    EXPECT_FALSE(fs::is_symlink(partitions() / linked / "sparse" / "0"));
    EXPECT_GT(engines::PLYCheck::validate(partitions() / linked / "output.ply").vertexCount, 0);
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_EQ(recorder_.states().back(), Kind::completed);
}

// A scan made before the link was planted still never trains there: the
// cell fails with the refusal and is not retried.
TEST_F(Resume, ACellFolderLinkedOutAfterTheScanIsNeverTrainedIn) {
    finishedRun(workspace_);
    const std::string linked = savedPlan().trainableCells().front().id;
    fs::remove(partitions() / linked / "output.ply");
    const pipeline::WorkspaceScanResult scan = WorkspaceScanner::scan(workspace_);
    TempDir elsewhere{"elsewhere"};
    const fs::path outside = elsewhere / "cell";
    fs::rename(partitions() / linked, outside);
    fs::create_symlink(outside, partitions() / linked);
    const std::vector<std::string> before = listing(outside);

    manager_ = newManager(recorder_);
    manager_->resumeInterruptedTraining({.scan = scan, .downscale = 1});

    const std::string refusal =
        "Cell folder " + linked + " resolves outside the workspace (" + fs::canonical(outside).string() + ") — refused.";
    EXPECT_TRUE(recorder_.loggedAs(train, "⚠ Cell " + linked + " training failed: " + refusal));
    EXPECT_TRUE(recorder_.loggedAs(train, "⚠ " + linked + " failed for a reason other than memory — not retrying; "
                                                          "that region will be missing."));
    EXPECT_TRUE(recorder_.loggedAs(exportStep, "⚠ " + refusal));
    EXPECT_EQ(listing(outside), before);
    EXPECT_TRUE(recorder_.states().back().isError());
}

// An engine killed while it streams its PLY leaves the temporary behind: the
// cell's retry removes it (a kill still counts as out of memory), and the
// merge removes one that an earlier kill left in a finished cell.
TEST_F(Resume, TemporariesOfKilledEnginesAreRemoved) {
    finishedRun(workspace_);
    const std::vector<partition::PartitionCell> trainable = savedPlan().trainableCells();
    const std::string killed = trainable[0].id;
    fs::remove(partitions() / killed / "output.ply");
    const std::string earlier = ".output.partial.ply." + std::to_string(endedProcess()) + ".tmp";
    support::writeTextFile(partitions() / trainable[1].id / earlier, "half a model");
    // Not ours: left alone.
    support::writeTextFile(partitions() / trainable[1].id / ".output.partial.ply.notapid.tmp", "kept");
    const fs::path calls = folder_ / "engine-calls";
    const fs::path engine = support::writeScript(
        folder_ / "engine" / "trevik",
        withOutputArgument("calls=$(cat '" + calls.string() + "' 2>/dev/null || echo 0)\n"
                           "echo $((calls + 1)) > '" + calls.string() + "'\n"
                           "if [ $calls -eq 0 ]; then\n"
                           "  printf 'half a model' > \"$(dirname \"$out\")/.output.partial.ply.$$.tmp\"\n"
                           "  kill -9 $$\n"
                           "fi\n"
                           "exec '" + std::string(TESSARON_TEST_ENGINE_PATH) + "' \"$@\""));

    const pipeline::WorkspaceScanResult scan = WorkspaceScanner::scan(workspace_);
    RunRecorder recorder;
    auto manager = PipelineManager::create({}, testConfiguration(folder_ / "support", std::nullopt, engine));
    recorder.attach(*manager);
    manager->resumeInterruptedTraining({.scan = scan, .downscale = 1});

    EXPECT_TRUE(recorder.loggedAs(train, "⚠ Cell " + killed + " training failed: trevik stopped by signal 9"));
    EXPECT_TRUE(recorder.loggedAs(train, killed + " ran out of memory — retrying as 4 smaller cells…"));
    EXPECT_EQ(engineTemporaries(partitions()),
              std::vector<std::string>{(fs::path(trainable[1].id) / ".output.partial.ply.notapid.tmp").string()});
}

// Disk full while every cell trains: the final message keeps its words and
// says why the cells failed, as the log line above it does.
TEST_F(Resume, WhenNoCellCouldBeTrainedTheFinalMessageSaysWhy) {
    finishedRun(workspace_);
    std::vector<std::string> ids;
    for (const auto& cell : savedPlan().trainableCells()) {
        ids.push_back(cell.id);
        fs::remove(partitions() / cell.id / "output.ply");
    }
    ASSERT_GE(ids.size(), 4u);
    const fs::path engine = support::writeScript(
        folder_ / "engine" / "trevik",
        "echo 'step=1 loss=n/a splats=10 1.0ms/step'\n"
        "echo 'error: could not write the output: No space left on device' >&2\n"
        "exit 1");
    const pipeline::WorkspaceScanResult scan = WorkspaceScanner::scan(workspace_);
    RunRecorder recorder;
    auto manager = PipelineManager::create({}, testConfiguration(folder_ / "support", std::nullopt, engine));
    recorder.attach(*manager);
    manager->resumeInterruptedTraining({.scan = scan, .downscale = 1});

    const std::string reason = " failed: trevik training failed (exit 1): could not write the output: No space left on device";
    std::string expected = "No cell PLYs found to merge. " + ids[0] + reason + "; " + ids[1] + reason + "; " + ids[2] + reason;
    if (ids.size() > 3) expected += "; and " + std::to_string(ids.size() - 3) + " more (see the log)";
    EXPECT_EQ(recorder.states().back(), PipelineState::error(expected));
    EXPECT_EQ(recorder.texts().back(), "⚠ " + expected);
    EXPECT_TRUE(recorder.loggedAs(train, "error: could not write the output: No space left on device"));
    EXPECT_TRUE(recorder.loggedAs(train, "⚠ Cell " + ids[0] + " training failed: trevik training failed (exit 1)"));
}

// The engine's limits, one past each, are refused before the workspace is
// even read, for a resume as for a re-merge.
TEST(ResumeTool, SettingsPastTheEnginesLimitsAreRefusedBeforeAnythingRuns) {
    TempDir folder("resume-limits");
    for (const char* command : {"resume", "remerge"})
        for (const auto& [option, value, message] :
             {std::tuple{"--iterations", "1000001", "--iterations must be at most 1000000 (got 1000001)"},
              std::tuple{"--cap-max", "10000001", "--cap-max must be at most 10000000 (got 10000001)"}}) {
            auto [status, lines] = support::runTool({"pipeline", command, (folder / "missing").string(), option, value,
                                                     "--support", (folder / "support").string()});
            EXPECT_EQ(status, 2) << command << " " << option;
            EXPECT_THAT(lines, Contains("tessaron-tool: pipeline " + std::string(command) + ": " + message));
            EXPECT_FALSE(fs::exists(folder / "support"));
        }
}

// Numbers the engine takes as an int are never narrowed on the way: an
// unusable run_config.json is named and the log's settings stand, an option
// beyond the range is refused, and a plan cell's iteration count beyond it
// fails that cell instead of training it for 100.
TEST_F(Resume, SettingsBeyondTheEnginesRangeAreRefusedNotNarrowed) {
    finishedRun(workspace_);
    PartitionPlan plan = savedPlan();
    const std::string huge = plan.trainableCells().front().id;
    for (auto& cell : plan.cells)
        if (cell.id == huge) cell.recommendedIterations = 4294967396;
    plan.save(partitions() / "partition_plan.json");
    fs::remove(partitions() / huge / "output.ply");
    support::writeTextFile(workspace_ / "run_config.json",
                           R"({"downscale":4294967299,"eval":false,"capMax":1000000,"iterations":4294967396})");

    auto [refused, refusal] = support::runTool({"pipeline", "resume", workspace_.string(), "--downscale", "4294967299",
                                                "--support", (folder_ / "support").string()});
    EXPECT_EQ(refused, 2);
    EXPECT_THAT(refusal, Contains("tessaron-tool: pipeline resume: --downscale must be at most 2147483647 (got 4294967299)"));

    auto [status, lines] = support::runTool({"pipeline", "resume", workspace_.string(), "--support",
                                             (folder_ / "support").string(), "--trevik", TESSARON_TEST_ENGINE_PATH});
    EXPECT_THAT(lines, Contains("[TRAIN] ⚠ run_config.json: \"downscale\" is 4294967299, outside 1…2147483647"));
    EXPECT_THAT(lines, Contains(::testing::StartsWith("[TRAIN] Parameters from log — downscale: 1x")));
    EXPECT_THAT(lines, Contains("[TRAIN] ⚠ Cell " + huge + " training failed: Cell " + huge +
                                " is planned with 4294967396 iterations, outside 1…1000000"));
    for (const std::string& line : lines) EXPECT_THAT(line, Not(HasSubstr("-n 100 "))) << line;
    EXPECT_EQ(status, 1);
}
