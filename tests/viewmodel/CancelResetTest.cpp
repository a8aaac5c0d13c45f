// Cancelling an operation and resetting the view for a new pipeline.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "pipeline/PipelineTestSupport.hpp"
#include "viewmodel/ScriptedDialogs.hpp"
#include "viewmodel/ViewModelTestSupport.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::testing {
namespace {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;

using pipeline::PipelineState;
using pipeline::RunReport;
using viewmodel::PipelineViewModel;
using Kind = PipelineState::Kind;

// An operation that runs until its task is asked to stop.
void startStoppableOperation(PipelineViewModel& model, std::atomic<bool>& sawStop) {
    model.setHasActiveOperation(true);
    ModelAccess::beginRunReport(model, "New run", "Photo folder", {});
    ModelAccess::runTrackedOperation(model, [&sawStop](std::stop_token stopToken) {
        while (!stopToken.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        sawStop = true;
    });
}

TEST_F(ViewModelTest, CancelWithoutAnOperationClearsAShownError) {
    auto model = makeViewModel();
    model->setHasActiveOperation(true);
    ModelAccess::beginRunReport(*model, "New run", "Photo folder", {});
    model->setCurrentState(PipelineState::error("trevik training failed (exit 1)"));
    model->updateRunReport();
    model->setHasActiveOperation(false);
    model->cancelRun();
    EXPECT_EQ(model->currentState(), Kind::idle);
    EXPECT_FALSE(model->isCancelling());
}

TEST_F(ViewModelTest, CancelStopsTheTaskAndTheOperationEndsIdleAndCancelled) {
    auto model = makeViewModel();
    std::atomic<bool> sawStop = false;
    startStoppableOperation(*model, sawStop);
    model->setCurrentState(Kind::training);
    model->cancelRun();
    EXPECT_TRUE(model->isCancelling());
    EXPECT_TRUE(model->isBusy());
    EXPECT_EQ(model->currentState(), Kind::training);  // the operation's end changes it, not the cancel
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->hasActiveOperation(); }, 30000));
    EXPECT_TRUE(sawStop);
    EXPECT_FALSE(model->isCancelling());
    EXPECT_EQ(model->currentState(), Kind::idle);
    EXPECT_EQ(savedReport().outcome, RunReport::Outcome::cancelled);
}

TEST_F(ViewModelTest, CancelOnTheTourSampleDoesNothing) {
    auto model = makeViewModel();
    model->setIsTourSample(true);
    model->setCurrentState(PipelineState::error("failed"));
    model->cancelRun();
    EXPECT_EQ(model->currentState(), PipelineState::error("failed"));
}

// A view full of a finished run's values.
void fillRun(PipelineViewModel& model, const std::filesystem::path& folder) {
    model.setSelectedInputURL(folder / "clip.mp4");
    model.setIsInputVideo(true);
    model.setCurrentWorkspaceURL(folder / "Tessaron_workspace");
    model.setTrainingLog("line\n");
    model.setSfmLog("line\n");
    model.setExtractionTotal(40);
    model.setSfmRegisteredImages(12);
    model.setTotalCells(4);
    model.setCurrentCellIndex(3);
    model.setCompletedCellDurations({1.0, 2.0});
    model.setIteration(500);
    model.setSplatCount(9000);
    model.setOutputPlyPath(QStringLiteral("/out/output.ply"));
    model.setSkipSfM(true);
    model.setColmapDataURL(folder / "colmap");
    model.setTrevikDownscaleFactor(4);
    model.setTreatAs360(true);
    model.setSfmViewsPerFrame(8);
    model.setTrainingIterations(7000);
    model.setTrainingCapMax(2000000);
    model.setEngineRamString(QStringLiteral("2.0 GB"));
    model.setCurrentState(Kind::completed);
}

TEST_F(ViewModelTest, ResetClearsTheRunAndKeepsTheUsersSettings) {
    auto model = makeViewModel();
    fillRun(*model, support_.path());
    model->resetRunState();
    EXPECT_EQ(model->currentState(), Kind::idle);
    EXPECT_FALSE(model->selectedInputURL());
    EXPECT_FALSE(model->isInputVideo());
    EXPECT_FALSE(model->currentWorkspaceURL());
    EXPECT_TRUE(model->trainingLog().isEmpty());
    EXPECT_TRUE(model->sfmLog().isEmpty());
    EXPECT_EQ(model->extractionTotal(), 0);
    EXPECT_EQ(model->sfmRegisteredImages(), 0);
    EXPECT_EQ(model->totalCells(), 1);
    EXPECT_EQ(model->currentCellIndex(), 0);
    EXPECT_TRUE(model->completedCellDurations().empty());
    EXPECT_EQ(model->iteration(), 0);
    EXPECT_EQ(model->splatCount(), 0);
    EXPECT_FALSE(model->outputPlyPath());
    EXPECT_FALSE(model->skipSfM());
    EXPECT_FALSE(model->colmapDataURL());
    EXPECT_EQ(model->trevikDownscaleFactor(), 0);
    EXPECT_FALSE(model->treatAs360());
    EXPECT_EQ(model->sfmViewsPerFrame(), 1);
    // Settings stay; the old run's trainer memory goes, so the strip shows
    // the host's again.
    EXPECT_EQ(model->trainingIterations(), 7000);
    EXPECT_EQ(model->trainingCapMax(), 2000000);
    EXPECT_FALSE(model->engineRamString());
}

TEST_F(ViewModelTest, ResetDuringAnOperationCancelsItAndResetsAtItsEnd) {
    auto model = makeViewModel();
    fillRun(*model, support_.path());
    std::atomic<bool> sawStop = false;
    startStoppableOperation(*model, sawStop);
    model->setCurrentState(Kind::training);
    model->resetRunState();
    // Nothing is cleared over a run that still goes on.
    EXPECT_TRUE(model->isCancelling());
    EXPECT_TRUE(model->selectedInputURL());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->hasActiveOperation(); }, 30000));
    EXPECT_TRUE(sawStop);
    EXPECT_EQ(model->currentState(), Kind::idle);
    EXPECT_FALSE(model->selectedInputURL());
    EXPECT_TRUE(model->trainingLog().isEmpty());
    EXPECT_EQ(savedReport().outcome, RunReport::Outcome::cancelled);
}


// ---- What a cancelled run leaves on screen -----------------------------------------

namespace fs = std::filesystem;
using pipeline::PipelineLogStep;
using pipeline::PipelineManager;

// A stage of a scripted driver: it reaches `state`, writes `lines` to the
// log of `step` and runs until it is cancelled. It then ends as a driver
// may end a cancelled stage: with the stopped child's failure (when
// `failure` is set) and the boundary's "Pipeline cancelled.".
struct ScriptedStage {
    Kind state;
    PipelineLogStep step;
    std::vector<std::string> lines;
    std::optional<std::string> failure;
};

// Starts a new run of a photo folder through the output panel, with
// `stage` in place of the driver.
void startScriptedRun(PipelineViewModel& model, ScriptedDialogs& dialogs, const fs::path& folder,
                      const ScriptedStage& stage) {
    PipelineViewModel::DriverCalls calls;
    calls.runPipeline = [manager = model.pipelineManager(), stage](const PipelineManager::RunParameters&,
                                                                   std::stop_token stopToken) {
        const auto callbacks = ManagerAccess::callbacks(*manager);
        callbacks->onStateChange(stage.state);
        for (const std::string& line : stage.lines) ManagerAccess::log(*manager, stage.step, line);
        std::mutex lock;
        std::condition_variable_any stopped;
        std::unique_lock hold(lock);
        stopped.wait(hold, stopToken, [] { return false; });
        if (stage.failure) {
            ManagerAccess::log(*manager, stage.step, "COLMAP error: " + *stage.failure);
            callbacks->onStateChange(PipelineState::error(*stage.failure));
        }
        ManagerAccess::checkCancelled(*manager, stage.step);
    };
    ModelAccess::setDriverCalls(model, calls);
    ModelAccess::setFreeSpaceProbe(model, [](const fs::path&) { return std::optional<uint64_t>(uint64_t(100) << 30); });
    fs::create_directories(folder / "photos");
    fs::create_directories(folder / "runs");
    model.setSelectedInputURL(folder / "photos");
    dialogs.answer(folder / "runs");
    model.startNewRun();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.currentState().kind == stage.state; }, 30000));
}

QStringList logLines(const QString& log) { return log.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }

TEST_F(ViewModelTest, ACancelDuringCOLMAPStaysInItsStepWithItsLinesAndNeverShowsTheChildsEndAsAFailure) {
    TempDir folder("viewmodel-cancel-colmap");
    auto model = makeViewModel();
    auto dialogs = std::make_shared<ScriptedDialogs>();
    model->setDialogService(dialogs);
    // What the previous run left.
    model->setOutputPlyPath(QStringLiteral("/earlier/Tessaron_workspace/output.ply"));
    model->setIteration(7000);
    model->setSplatCount(420000);
    std::vector<PipelineState> states;
    QObject::connect(model.get(), &PipelineViewModel::currentStateChanged, [&] { states.push_back(model->currentState()); });

    startScriptedRun(*model, *dialogs, folder.path(),
                     {Kind::processingSfM, PipelineLogStep::sfm, {"Processed file [1/12]", "Registering image #1 (1)"},
                      "COLMAP feature extraction failed (exit -15)"});
    // The new run does not pass the earlier result off as its own.
    EXPECT_FALSE(model->outputPlyPath());
    EXPECT_EQ(model->iteration(), 0);
    EXPECT_EQ(model->splatCount(), 0);

    model->cancelRun();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->hasActiveOperation(); }, 30000));
    for (const PipelineState& state : states) EXPECT_NE(state.kind, Kind::error) << state.message;
    EXPECT_EQ(model->currentState(), Kind::idle);
    ASSERT_TRUE(model->cancelledRun());
    EXPECT_EQ(model->cancelledRun()->step, viewmodel::WorkflowStep::sfm);
    EXPECT_EQ(model->cancelledRun()->lastLogStep, PipelineLogStep::sfm);
    EXPECT_EQ(model->cancelledRun()->note(), QStringLiteral("Run cancelled at Camera poses (COLMAP)."));
    EXPECT_EQ(logLines(model->sfmLog()),
              (QStringList{"Processed file [1/12]", "Registering image #1 (1)",
                           "COLMAP error: COLMAP feature extraction failed (exit -15)", "Pipeline cancelled."}));
    const RunReport report = savedReport();
    EXPECT_EQ(report.outcome, RunReport::Outcome::cancelled);
    EXPECT_FALSE(report.error);
    EXPECT_EQ(report.step, "Camera poses (COLMAP)");

    // The note lasts until a reset.
    model->resetRunState();
    EXPECT_FALSE(model->cancelledRun());
}

TEST_F(ViewModelTest, TheCancelNoteGoesWithTheNextOperationOrAnyStateButIdle) {
    TempDir folder("viewmodel-cancel-note");
    auto model = makeViewModel();
    auto dialogs = std::make_shared<ScriptedDialogs>();
    model->setDialogService(dialogs);
    startScriptedRun(*model, *dialogs, folder.path(), {Kind::training, PipelineLogStep::training, {"step 100"}, {}});
    model->cancelRun();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->cancelledRun().has_value(); }, 30000));
    EXPECT_EQ(model->cancelledRun()->step, viewmodel::WorkflowStep::training);
    EXPECT_EQ(logLines(model->trainingLog()), (QStringList{"step 100", "Pipeline cancelled."}));

    // Another run begins: the note goes with its start.
    dialogs->answer(folder.path() / "runs");
    model->startNewRun();
    EXPECT_FALSE(model->cancelledRun());
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->currentState().kind == Kind::training; }, 30000));
    model->cancelRun();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->cancelledRun().has_value(); }, 30000));
    // A failure shown later replaces it too.
    model->setCurrentState(PipelineState::error("Workspace scan failed: No partitions/ directory found in workspace"));
    EXPECT_FALSE(model->cancelledRun());
}

}  // namespace
}  // namespace tessaron::testing
