// A partitioned run of a made-up town with the tests' engine, approved or
// declined on the Planning panel and ended on the Final panel.
#include <gtest/gtest.h>

#include <QTest>

#include "PanelTestSupport.hpp"
#include "PartitionedRunFixture.hpp"
#include "viewer/ConverterModel.hpp"
#include "views/FinalPanelView.hpp"
#include "views/PlanningPanelView.hpp"
#include "views/TrainingPanelView.hpp"

namespace tessaron::testing {
namespace {

namespace fs = std::filesystem;
using viewmodel::PipelineViewModel;
using views::PlanningPanelView;
using Kind = pipeline::PipelineState::Kind;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

// The imported-model route: the capture's own COLMAP model.
class PartitionedRun : public PartitionedRunFixture {
protected:
    void chooseCapture() {
        model_->setSkipSfM(true);
        model_->setColmapDataURL(capture_);
        model_->setSelectedInputURL(capture_ / "images");
    }
};

TEST_F(PartitionedRun, StartTrainingOnThePlanningPanelTrainsTheCellsAndTheFinalPanelShowsTheResult) {
    chooseCapture();
    PlanningPanelView planning(*model_);
    views::TrainingPanelView training(*model_);
    views::FinalViewerState viewer;
    views::FinalPanelView finalPanel(*model_, viewer, views::FinalPanelView::Actions{});
    for (QWidget* panel : std::initializer_list<QWidget*>{&planning, &training, &finalPanel}) panel->show();

    dialogs_->answer(output_);
    model_->startNewRun();
    ASSERT_TRUE(QTest::qWaitFor([&] { return planning.phase() == PlanningPanelView::Phase::planReview; }, 60000))
        << model_->currentState().message;
    // The plan the driver made and reported is the one under review.
    ASSERT_TRUE(model_->partitionPlan());
    const partition::PartitionPlan& plan = *model_->partitionPlan();
    ASSERT_GE(plan.trainableCells().size(), 2u);
    const QStringList review = visibleTexts(planning);
    EXPECT_EQ(review.mid(3, 4), (QStringList{"Cells", QString::number(plan.trainableCells().size()), "Skipped",
                                             QString::number(plan.skippedCells().size())}));
    EXPECT_TRUE(review.contains("cell_" + QString::number(plan.cells.size() - 1))) << review.join(" | ").toStdString();

    click(visibleButton(planning, "Start Training"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->hasActiveOperation(); }, 120000));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_EQ(model_->currentState(), Kind::completed) << model_->currentState().message;
    EXPECT_EQ(model_->outputPlyPath(), QString::fromStdString((workspace() / "output.ply").string()));
    EXPECT_TRUE(fs::exists(workspace() / "output.ply"));
    EXPECT_EQ(statusText(planning.header()), "Complete");
    EXPECT_EQ(statusText(training.header()), "Complete");
    EXPECT_EQ(model_->completedCellDurations().size(), plan.trainableCells().size());
    const QStringList outcome = visibleTexts(finalPanel.outcomeSection());
    ASSERT_FALSE(outcome.isEmpty());
    EXPECT_EQ(outcome.first(), "Pipeline complete");
    EXPECT_TRUE(outcome.contains("Show Logs in File Manager"));
    ASSERT_NE(finalPanel.converter(), nullptr);
    ASSERT_EQ(finalPanel.converter()->model()->queue().size(), 1u);
    EXPECT_EQ(finalPanel.converter()->model()->queue()[0].url, workspace() / "output.ply");
}

TEST_F(PartitionedRun, CancellingWhileThePlanWaitsEndsTheRun) {
    chooseCapture();
    PlanningPanelView planning(*model_);
    planning.show();
    dialogs_->answer(output_);
    model_->startNewRun();
    ASSERT_TRUE(QTest::qWaitFor([&] { return planning.phase() == PlanningPanelView::Phase::planReview; }, 60000))
        << model_->currentState().message;
    model_->cancelRun();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->hasActiveOperation(); }, 30000));
    EXPECT_EQ(model_->currentState(), Kind::idle);
    EXPECT_EQ(planning.phase(), PlanningPanelView::Phase::planningProgress);
    // The panel of the step that was running says so, in place of its spinner.
    EXPECT_EQ(statusText(planning.header()), "Cancelled");
    EXPECT_FALSE(planning.planningProgress().isVisibleTo(&planning));
    EXPECT_EQ(planning.cancelledNote().text(), "Run cancelled at Plan approval.");
    EXPECT_FALSE(fs::exists(workspace() / "output.ply"));
    // A late press answers nothing.
    planning.approvePlan();
    EXPECT_FALSE(model_->hasActiveOperation());
}

}  // namespace
}  // namespace tessaron::testing
