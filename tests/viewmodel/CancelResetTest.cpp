// Cancelling an operation and resetting the view for a new pipeline.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <chrono>
#include <thread>

#include "viewmodel/ViewModelTestSupport.hpp"

namespace tessaron::testing {
namespace {

using pipeline::PipelineState;
using pipeline::RunReport;
using viewmodel::PipelineViewModel;
using Kind = PipelineState::Kind;

// An operation that runs until its task is asked to stop.
void startStoppableOperation(PipelineViewModel& model, std::atomic<bool>& sawStop) {
    model.setHasActiveOperation(true);
    model.beginRunReport("New run", "Photo folder", {});
    model.runTrackedOperation([&sawStop](std::stop_token stopToken) {
        while (!stopToken.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        sawStop = true;
    });
}

TEST_F(ViewModelTest, CancelWithoutAnOperationClearsAShownError) {
    auto model = makeViewModel();
    model->setHasActiveOperation(true);
    model->beginRunReport("New run", "Photo folder", {});
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
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->hasActiveOperation(); }, 5000));
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
    // Settings and telemetry stay.
    EXPECT_EQ(model->trainingIterations(), 7000);
    EXPECT_EQ(model->trainingCapMax(), 2000000);
    EXPECT_EQ(model->engineRamString(), QStringLiteral("2.0 GB"));
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
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->hasActiveOperation(); }, 5000));
    EXPECT_TRUE(sawStop);
    EXPECT_EQ(model->currentState(), Kind::idle);
    EXPECT_FALSE(model->selectedInputURL());
    EXPECT_TRUE(model->trainingLog().isEmpty());
    EXPECT_EQ(savedReport().outcome, RunReport::Outcome::cancelled);
}

}  // namespace
}  // namespace tessaron::testing
