#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "core/FileError.hpp"
#include "engines/ProcessMonitor.hpp"
#include "pipeline/CellLists.hpp"
#include "pipeline/PathUtilities.hpp"
#include "pipeline/PipelineManager.hpp"
#include "PipelineTestSupport.hpp"
#include "support/TempDir.hpp"

using namespace tessaron;
using pipeline::PipelineLogStep;
using pipeline::PipelineManager;
using pipeline::PipelineState;
using ApprovalOutcome = pipeline::PipelineManager::ApprovalOutcome;
using tessaron::testing::ManagerAccess;
using tessaron::testing::RunRecorder;
using tessaron::testing::TempDir;
using tessaron::testing::testConfiguration;
using tessaron::testing::writeScript;
using tessaron::testing::writeTextFile;
namespace fs = std::filesystem;

namespace {

std::shared_ptr<PipelineManager> makeManager(const TempDir& folder, std::weak_ptr<engines::ProcessMonitor> monitor = {},
                                             std::optional<fs::path> trevik = {}) {
    return PipelineManager::create(std::move(monitor), testConfiguration(folder / "support", std::nullopt, trevik));
}

engines::TrevikRunner::Options smallTraining(const TempDir& folder) {
    return {.datasetPath = (folder / "dataset").string(), .outputPath = (folder / "out.ply").string(),
            .iterations = 10, .capMax = 1000};
}

// Starts the engine script on another thread and returns once it printed
// "started"; the future gives "finished" or the error's text.
std::future<std::string> startTraining(PipelineManager& manager, const TempDir& folder) {
    auto started = std::make_shared<std::promise<void>>();
    auto startedOnce = std::make_shared<std::once_flag>();
    ManagerAccess::trevikRunner(manager).onLog = [started, startedOnce](const std::string& line) {
        if (line == "started") std::call_once(*startedOnce, [&] { started->set_value(); });
    };
    auto training = std::async(std::launch::async, [&manager, &folder]() -> std::string {
        try {
            ManagerAccess::trevikRunner(manager).run(smallTraining(folder));
        } catch (const std::exception& error) {
            return error.what();
        }
        return "finished";
    });
    started->get_future().wait();
    return training;
}

}  // namespace

// ---- Types ----

TEST(PipelineState, ErrorStatesAreEqualOnlyWithEqualMessages) {
    EXPECT_EQ(PipelineState(PipelineState::Kind::training), PipelineState::Kind::training);
    EXPECT_NE(PipelineState(PipelineState::Kind::training), PipelineState::Kind::exporting);
    EXPECT_EQ(PipelineState::error("a"), PipelineState::error("a"));
    EXPECT_NE(PipelineState::error("a"), PipelineState::error("b"));
    EXPECT_NE(PipelineState::error(""), PipelineState::Kind::idle);
    EXPECT_EQ(toString(PipelineState::error("COLMAP failed")), "error(COLMAP failed)");
    EXPECT_EQ(toString(PipelineState::Kind::processingSfM), "processingSfM");
}

TEST(PipelineLogStep, TagsOfTheRunLog) {
    EXPECT_EQ(tag(PipelineLogStep::extraction), "EXTRACT");
    EXPECT_EQ(tag(PipelineLogStep::sfm), "SFM");
    EXPECT_EQ(tag(PipelineLogStep::dataPrep), "PREP");
    EXPECT_EQ(tag(PipelineLogStep::training), "TRAIN");
    EXPECT_EQ(tag(PipelineLogStep::export_), "EXPORT");
}

// ---- Approval and cancellation ----

TEST(PipelineApproval, ResolvingWithoutAWaitDoesNothingAndTheNextWaitStillBlocks) {
    TempDir folder;
    auto manager = makeManager(folder);
    manager->resolvePartitionApproval(ApprovalOutcome::approved);
    manager->resolvePartitionApproval(ApprovalOutcome::approved);

    auto outcome = std::async(std::launch::async, [&] { return ManagerAccess::awaitPartitionApproval(*manager); });
    EXPECT_EQ(outcome.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    // Resolve until the waiter has stored itself and been answered.
    while (outcome.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
        manager->resolvePartitionApproval(ApprovalOutcome::approved);
    EXPECT_EQ(outcome.get(), ApprovalOutcome::approved);
    manager->resolvePartitionApproval(ApprovalOutcome::cancelled);  // nothing waits any more
}

TEST(PipelineApproval, CancelBeforeTheWaitEndsItAtOnce) {
    TempDir folder;
    auto manager = makeManager(folder);
    manager->cancel();
    EXPECT_EQ(ManagerAccess::awaitPartitionApproval(*manager), ApprovalOutcome::cancelled);
    EXPECT_EQ(ManagerAccess::awaitPartitionApproval(*manager), ApprovalOutcome::cancelled);
}

// A cancel that races with the start of the wait either finds the stored
// waiter or is seen by the wait itself: the run never stays blocked.
TEST(PipelineApproval, CancelRacingTheStartOfTheWaitNeverLeavesItBlocked) {
    TempDir folder;
    for (int round = 0; round < 200; ++round) {
        auto manager = makeManager(folder);
        std::promise<void> ready;
        auto outcome = std::async(std::launch::async, [&] {
            ready.set_value();
            return ManagerAccess::awaitPartitionApproval(*manager);
        });
        ready.get_future().wait();
        manager->cancel();
        ASSERT_EQ(outcome.get(), ApprovalOutcome::cancelled) << "round " << round;
    }
}

TEST(PipelineApproval, ApprovalAndCancelRacingResolveTheWaitExactlyOnce) {
    TempDir folder;
    for (int round = 0; round < 100; ++round) {
        auto manager = makeManager(folder);
        auto outcome = std::async(std::launch::async, [&] { return ManagerAccess::awaitPartitionApproval(*manager); });
        std::jthread approver([&] {
            for (int attempt = 0; attempt < 50; ++attempt) manager->resolvePartitionApproval(ApprovalOutcome::approved);
        });
        manager->cancel();
        ApprovalOutcome answer = outcome.get();
        EXPECT_TRUE(answer == ApprovalOutcome::approved || answer == ApprovalOutcome::cancelled);
    }
}

TEST(PipelineCancel, CheckCancelledLogsUnderTheBoundarysStepOnlyAfterACancel) {
    TempDir folder;
    auto manager = makeManager(folder);
    RunRecorder recorder;
    recorder.attach(*manager);
    EXPECT_FALSE(ManagerAccess::checkCancelled(*manager, PipelineLogStep::sfm));
    EXPECT_TRUE(recorder.log().empty());

    manager->cancel();  // nothing runs: only the flags are set
    EXPECT_TRUE(ManagerAccess::checkCancelled(*manager, PipelineLogStep::training));
    EXPECT_EQ(recorder.log(), (std::vector<RunRecorder::LogEntry>{{PipelineLogStep::training, "Pipeline cancelled."}}));
    EXPECT_TRUE(recorder.states().empty());
}

// A long child ends by SIGTERM when another thread cancels, the monitor sees
// it under its tag while it runs, and a latched runner starts nothing more.
TEST(PipelineCancel, CancelFromAnotherThreadTerminatesTheLongChild) {
    TempDir folder;
    writeScript(folder / "trevik", "echo started\nexec sleep 30");
    tessaron::testing::PublishedSnapshots published;  // outlives the monitor
    auto monitor = std::make_shared<engines::ProcessMonitor>();
    published.attach(*monitor);
    auto manager = makeManager(folder, monitor, folder / "trevik");

    auto training = startTraining(*manager, folder);
    EXPECT_TRUE(manager->isProcessRunning());
    EXPECT_TRUE(published.waitForName("trevik", true));

    manager->cancel();
    // The signal ended it, not the end of its sleep.
    EXPECT_EQ(training.get(), "trevik stopped by signal 15");
    EXPECT_FALSE(manager->isProcessRunning());

    EXPECT_THROW(ManagerAccess::trevikRunner(*manager).run(smallTraining(folder)), core::CancellationError);
}

TEST(PipelineCancel, ForceKillEndsAChildThatIgnoresSIGTERM) {
    TempDir folder;
    writeScript(folder / "trevik", "trap '' TERM\necho started\nwhile :; do sleep 0.05; done");
    auto manager = makeManager(folder, {}, folder / "trevik");
    auto training = startTraining(*manager, folder);
    manager->forceKill();
    EXPECT_EQ(training.get(), "trevik stopped by signal 9");
}

// ---- Callbacks ----

// Keeps what the manager posts and runs it later on the draining thread, as
// a window's event loop would.
class PostingExecutor {
public:
    core::Executor executor() {
        return [this](std::function<void()> work) {
            std::lock_guard lock(mutex_);
            posted_.push_back(std::move(work));
        };
    }
    size_t drain() {
        std::vector<std::function<void()>> work;
        {
            std::lock_guard lock(mutex_);
            work.swap(posted_);
        }
        for (const auto& item : work) item();
        return work.size();
    }

private:
    std::mutex mutex_;
    std::vector<std::function<void()>> posted_;
};

TEST(PipelineCallbacks, ThroughAPostingExecutorTheyRunInOrderOnlyWhereItRunsThem) {
    TempDir folder;
    PostingExecutor posting;
    auto manager = PipelineManager::create({}, testConfiguration(folder / "support"), posting.executor());
    std::set<std::thread::id> callingThreads;  // touched only by the draining thread
    std::vector<std::string> events;
    PipelineManager::Callbacks callbacks;
    callbacks.onLog = [&](PipelineLogStep, const std::string& text) {
        callingThreads.insert(std::this_thread::get_id());
        events.push_back(text);
    };
    callbacks.onStateChange = [&](const PipelineState& state) {
        callingThreads.insert(std::this_thread::get_id());
        events.push_back(toString(state));
    };
    manager->setCallbacks(std::move(callbacks));

    std::jthread([&] { manager->remergeExistingCells({.workspaceURL = folder / "workspace"}); }).join();
    ASSERT_TRUE(events.empty());
    EXPECT_EQ(posting.drain(), 6u);
    EXPECT_EQ(callingThreads, std::set<std::thread::id>{std::this_thread::get_id()});
    const std::string missing = "No COLMAP data at " + (folder / "workspace" / "colmap" / "sparse" / "0").string();
    EXPECT_EQ(events, (std::vector<std::string>{"exporting", "═══ Re-merge existing cells ═══",
                                                "Workspace: " + (folder / "workspace").string(),
                                                "Downscale: 2x, capMax: 1000000", "⚠ " + missing,
                                                "error(" + missing + ")"}));
}

TEST(PipelineCallbacks, ChangingThemDuringAnOperationIsRefused) {
    TempDir folder;
    auto manager = makeManager(folder);
    int refusals = 0;
    PipelineManager::Callbacks callbacks;
    callbacks.onStateChange = [&](const PipelineState&) {
        try {
            manager->setCallbacks({});
        } catch (const PipelineManager::BusyError& error) {
            EXPECT_STREQ(error.what(), "The callbacks cannot change while an operation runs.");
            ++refusals;
        }
    };
    manager->setCallbacks(callbacks);
    manager->remergeExistingCells({.workspaceURL = folder / "workspace"});
    EXPECT_EQ(refusals, 2);
    EXPECT_NO_THROW(manager->setCallbacks({}));
}

// ---- The operation's guard ----

// A stage's error is turned into its one log line and the error state in one
// place, after which the run log is closed; any other error is logged as
// "Error: " + its text.
TEST(PipelineGuard, AStageErrorBecomesItsLineAndTheErrorStateAndClosesTheLog) {
    TempDir folder;
    auto manager = makeManager(folder);
    RunRecorder recorder;
    recorder.attach(*manager);
    ManagerAccess::runGuarded(*manager, PipelineLogStep::export_, [&] {
        ManagerAccess::startLog(*manager, folder / "workspace");
        throw PipelineManager::StageError(PipelineLogStep::sfm, "COLMAP error: exit 1", "exit 1");
    });
    ManagerAccess::log(*manager, PipelineLogStep::sfm, "after the end");
    EXPECT_EQ(recorder.log(), (std::vector<RunRecorder::LogEntry>{{PipelineLogStep::sfm, "COLMAP error: exit 1"},
                                                                 {PipelineLogStep::sfm, "after the end"}}));
    EXPECT_EQ(recorder.states(), std::vector<PipelineState>{PipelineState::error("exit 1")});
    const std::string text = tessaron::testing::readTextFile(folder / "support" / "Logs" / "current_run.md");
    EXPECT_TRUE(text.ends_with("\n[SFM] COLMAP error: exit 1\n")) << text;

    RunRecorder second;
    second.attach(*manager);
    ManagerAccess::runGuarded(*manager, PipelineLogStep::training, [] {
        throw PipelineManager::StageError::warning(PipelineLogStep::dataPrep, "Too big.");
    });
    ManagerAccess::runGuarded(*manager, PipelineLogStep::training, [] { throw std::runtime_error("broken"); });
    EXPECT_EQ(second.log(), (std::vector<RunRecorder::LogEntry>{{PipelineLogStep::dataPrep, "⚠ Too big."},
                                                               {PipelineLogStep::training, "Error: broken"}}));
    EXPECT_EQ(second.states(),
              (std::vector<PipelineState>{PipelineState::error("Too big."), PipelineState::error("broken")}));
}

// Options out of range end the operation before it touches the workspace.
TEST(PipelineGuard, RunResumeAndRemergeOptionsAreCheckedFirst) {
    TempDir folder;
    auto manager = makeManager(folder);
    RunRecorder recorder;
    recorder.attach(*manager);
    manager->remergeExistingCells({.workspaceURL = folder / "workspace", .downscale = 0});
    pipeline::WorkspaceScanResult scan;
    scan.workspaceURL = folder / "workspace";
    manager->resumeInterruptedTraining({.scan = scan, .capMax = 0});
    manager->resumeInterruptedTraining({});
    // The engine's limits, one past each: refused before COLMAP or a plan.
    manager->resumeInterruptedTraining({.scan = scan, .capMax = 10000001});
    PipelineManager::RunParameters run;
    run.workspaceURL = folder / "workspace";
    run.iterations = 1000001;
    manager->runPipeline(run);
    const std::vector<std::string> problems = {"Re-merge option downscale must be at least 1 (is 0)",
                                               "Resume option capMax must be at least 1 (is 0)",
                                               "Resume option scan.workspaceURL is empty",
                                               "Resume option capMax must be at most 10000000 (is 10000001)",
                                               "Run option iterations must be at most 1000000 (is 1000001)"};
    EXPECT_EQ(recorder.log(), (std::vector<RunRecorder::LogEntry>{{PipelineLogStep::export_, "Error: " + problems[0]},
                                                                 {PipelineLogStep::training, "Error: " + problems[1]},
                                                                 {PipelineLogStep::training, "Error: " + problems[2]},
                                                                 {PipelineLogStep::training, "Error: " + problems[3]},
                                                                 {PipelineLogStep::export_, "Error: " + problems[4]}}));
    std::vector<PipelineState> refusals;
    for (const std::string& problem : problems) refusals.push_back(PipelineState::error(problem));
    EXPECT_EQ(recorder.states(), refusals);
    EXPECT_FALSE(fs::exists(folder / "workspace"));
}

// ---- Shared routines ----

class SymlinkReplacing : public ::testing::Test {
protected:
    TempDir folder_;
    fs::path link_ = folder_ / "images";
    fs::path first_ = folder_ / "first";
    fs::path second_ = folder_ / "second";
};

TEST_F(SymlinkReplacing, LeavesALinkToTheSameDestinationUntouched) {
    fs::create_symlink(first_, link_);
    struct stat before {};
    ::lstat(link_.c_str(), &before);
    pipeline::symlinkReplacing(link_, first_);
    struct stat after {};
    ::lstat(link_.c_str(), &after);
    EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST_F(SymlinkReplacing, CreatesOrReplacesALinkToAnotherDestination) {
    pipeline::symlinkReplacing(link_, first_);
    EXPECT_EQ(fs::read_symlink(link_), first_);
    pipeline::symlinkReplacing(link_, second_);
    EXPECT_EQ(fs::read_symlink(link_), second_);
}

TEST_F(SymlinkReplacing, LeavesARealFolderOrFileInPlace) {
    fs::create_directory(link_);
    writeTextFile(link_ / "photo.jpg", "x");
    EXPECT_NO_THROW(pipeline::symlinkReplacing(link_, first_));
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(link_)));
    EXPECT_TRUE(fs::exists(link_ / "photo.jpg"));

    writeTextFile(folder_ / "sparse", "not a folder");
    EXPECT_NO_THROW(pipeline::symlinkReplacing(folder_ / "sparse", first_));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(folder_ / "sparse")));
}

TEST_F(SymlinkReplacing, ThrowsWhenTheLinkCannotBeMade) {
    try {
        pipeline::symlinkReplacing(folder_ / "missing" / "images", first_);
        FAIL() << "no error";
    } catch (const core::FileError& error) {
        EXPECT_TRUE(error.isNoSuchFile()) << error.what();
    }
}

TEST(SharedRoutines, PendingCellsTakeThePlansRecommendationsOrTheDefaults) {
    partition::PartitionCell planned;
    planned.id = "cell_1";
    planned.recommendedCapMax = 400000;
    planned.recommendedIterations = 12000;
    std::vector<pipeline::PreparedCell> prepared = {
        {"cell_2", "/w/partitions/cell_2", {0, 1, 0, 1}, {-1, 2, -1, 2}},
        {"cell_1", "/w/partitions/cell_1", {1, 2, 1, 2}, {0, 3, 0, 3}},
    };
    auto queue = pipeline::pendingCells(prepared, {planned}, 900000, 30000);
    ASSERT_EQ(queue.size(), 2u);
    EXPECT_EQ(queue[0], (pipeline::PendingCell{"cell_2", "/w/partitions/cell_2", {0, 1, 0, 1}, {-1, 2, -1, 2}, 0, 900000, 30000}));
    EXPECT_EQ(queue[1], (pipeline::PendingCell{"cell_1", "/w/partitions/cell_1", {1, 2, 1, 2}, {0, 3, 0, 3}, 0, 400000, 12000}));
}

TEST(SharedRoutines, MaskFolderIsTheFirstNonEmptyCandidate) {
    TempDir folder;
    const fs::path images = folder / "capture" / "images";
    const fs::path workspace = folder / "workspace";
    fs::create_directories(images);
    EXPECT_FALSE(pipeline::findMaskDirectory(images, workspace).has_value());

    fs::create_directories(folder / "capture" / "masks");  // empty: skipped
    writeTextFile(workspace / "masks" / "frame_000000.png", "x");
    EXPECT_EQ(pipeline::findMaskDirectory(images, workspace), (workspace / "masks").string());
    EXPECT_EQ(pipeline::findMaskDirectory(images.string() + "/", workspace), (workspace / "masks").string());

    writeTextFile(folder / "capture" / "masks" / "frame_000000.png", "x");
    EXPECT_EQ(pipeline::findMaskDirectory(images, workspace), (folder / "capture" / "masks").string());
}
