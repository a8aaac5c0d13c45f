// A partitioned run of a made-up town cancelled while a cell trains, with
// the tests' engine: what the step panels and the log drawer show once
// the run has ended.
#include <gtest/gtest.h>

#include <QTest>

#include <vector>

#include "PanelTestSupport.hpp"
#include "PartitionedRunFixture.hpp"
#include "views/FinalPanelView.hpp"
#include "views/LogDrawerView.hpp"
#include "views/MetricPill.hpp"
#include "views/PlanningPanelView.hpp"
#include "views/TrainingPanelView.hpp"

namespace tessaron::testing {
namespace {

using viewmodel::PipelineViewModel;
using views::PlanningPanelView;
using Kind = pipeline::PipelineState::Kind;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

class CancelledRun : public PartitionedRunFixture {
protected:
    // Each step of the engine takes a while, so that a cell is still
    // training when the test cancels.
    ScopedEnvironment slowSteps_{{"TESSARON_TEST_ENGINE_STEP_SLEEP_MS", "5"}};
};

TEST_F(CancelledRun, DuringTrainingThePanelsSayWhereItStoppedAndTheLogKeepsItsLines) {
    model_->setSkipSfM(true);
    model_->setColmapDataURL(capture_);
    model_->setSelectedInputURL(capture_ / "images");
    model_->setTrainingIterations(20000);
    PlanningPanelView planning(*model_);
    views::TrainingPanelView training(*model_);
    views::FinalViewerState viewer;
    views::FinalPanelView finalPanel(*model_, viewer, views::FinalPanelView::Actions{});
    for (QWidget* panel : std::initializer_list<QWidget*>{&planning, &training, &finalPanel}) panel->show();
    std::vector<pipeline::PipelineState> states;
    QObject::connect(model_.get(), &PipelineViewModel::currentStateChanged,
                     [&] { states.push_back(model_->currentState()); });

    dialogs_->answer(output_);
    model_->startNewRun();
    ASSERT_TRUE(QTest::qWaitFor([&] { return planning.phase() == PlanningPanelView::Phase::planReview; }, 60000))
        << model_->currentState().message;
    planning.approvePlan();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return model_->currentState().kind == Kind::training && model_->iteration() > 0; }, 120000))
        << model_->currentState().message;
    model_->cancelRun();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->hasActiveOperation(); }, 30000));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    for (const pipeline::PipelineState& state : states) EXPECT_NE(state.kind, Kind::error) << state.message;
    ASSERT_TRUE(model_->cancelledRun());
    const QString note = model_->cancelledRun()->note();
    EXPECT_TRUE(note.startsWith("Run cancelled at Training (cell 1 of ")) << note.toStdString();

    // The Training panel keeps the counters where the run left them and says
    // that it will not go on.
    EXPECT_EQ(statusText(training.header()), "Cancelled");
    EXPECT_TRUE(training.cancelledNote().isVisibleTo(&training));
    EXPECT_EQ(training.cancelledNote().text(), note);
    EXPECT_FALSE(training.iterationPill().value().startsWith("0 /")) << training.iterationPill().value().toStdString();
    EXPECT_FALSE(training.progressBlock().isVisibleTo(&training));
    // The planning before it was done; the Final step waits for nothing.
    EXPECT_EQ(statusText(planning.header()), "");
    const QStringList outcome = visibleTexts(finalPanel.outcomeSection());
    EXPECT_EQ(outcome, (QStringList{"Pipeline cancelled", note, "Show Logs in File Manager", "Start New Pipeline"}));

    // The drawer shows the cancelled run's log, not "Ready.".
    views::LogDrawerView drawer(*model_);
    const QString shown = views::LogDrawerView::logFor(*model_);
    EXPECT_EQ(shown, model_->trainingLog());
    EXPECT_FALSE(shown.isEmpty());

    click(visibleButton(finalPanel.outcomeSection(), "Start New Pipeline"));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(views::LogDrawerView::logFor(*model_), "Ready.");
    EXPECT_EQ(statusText(training.header()), "");
    EXPECT_FALSE(training.cancelledNote().isVisibleTo(&training));
    EXPECT_EQ(visibleTexts(finalPanel.outcomeSection()), QStringList{"Waiting for earlier steps to finish…"});
}

}  // namespace
}  // namespace tessaron::testing
