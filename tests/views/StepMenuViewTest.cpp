// The step menu: the panel each step shows, the SfM panel's status, and the
// model importer that "Open Model in Viewer..." and the Final panel ask for.
#include <gtest/gtest.h>

#include <QScrollArea>
#include <QSignalSpy>
#include <QTest>

#include "ViewsTestSupport.hpp"
#include "support/EventLoopWait.hpp"
#include "views/ApplicationNotifier.hpp"
#include "views/FinalPanelView.hpp"
#include "views/InputView.hpp"
#include "views/PanelWidgets.hpp"
#include "views/PlanningPanelView.hpp"
#include "views/SfMPanelView.hpp"
#include "views/StepMenuView.hpp"
#include "views/TrainingPanelView.hpp"

namespace tessaron::testing {
namespace {

using viewmodel::PipelineViewModel;
using viewmodel::WorkflowStep;
using views::StepMenuView;
using Kind = pipeline::PipelineState::Kind;
using pipeline::PipelineState;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

class StepMenuTest : public ::testing::Test {
protected:
    void SetUp() override {
        menu_.setModelImporter([this](QWidget*) -> std::optional<QUrl> {
            ++importerCalls_;
            return nextChoice_;
        });
        menu_.resize(430, 600);
        menu_.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&menu_));
    }

    // Lets a requested importer open and close: it is presented from the
    // event loop.
    void settle() { ASSERT_TRUE(deliverEventsDueWithin()); }

    TempDir support_{"tessaron-views"};
    std::unique_ptr<PipelineViewModel> model_ = makeViewModel(support_);
    views::FinalViewerState viewer_;
    StepMenuView menu_{*model_, viewer_};
    int importerCalls_ = 0;
    std::optional<QUrl> nextChoice_;
};

TEST_F(StepMenuTest, EachStepShowsItsPanelAndOnlyTheInputFormGoesUnframed) {
    EXPECT_NE(qobject_cast<views::InputView*>(menu_.panel()), nullptr);
    EXPECT_EQ(menu_.scrollArea(), nullptr);
    const std::vector<std::pair<WorkflowStep, const QMetaObject*>> table{
        {WorkflowStep::sfm, &views::SfMPanelView::staticMetaObject},
        {WorkflowStep::planning, &views::PlanningPanelView::staticMetaObject},
        {WorkflowStep::training, &views::TrainingPanelView::staticMetaObject},
        {WorkflowStep::final, &views::FinalPanelView::staticMetaObject},
    };
    for (const auto& [step, type] : table) {
        menu_.setStep(step);
        ASSERT_NE(menu_.scrollArea(), nullptr);
        EXPECT_EQ(menu_.panel()->metaObject(), type);
        EXPECT_TRUE(menu_.panel()->isVisible());
        // In the shared frame: 24 from the frame's edges, inside the scroll area.
        QWidget* frame = menu_.scrollArea()->widget();
        EXPECT_EQ(menu_.panel()->parentWidget(), frame);
        EXPECT_EQ(menu_.panel()->pos(), QPoint(24, 24));
        EXPECT_TRUE(QTest::qWaitFor([&] { return frame->width() == menu_.scrollArea()->viewport()->width(); }, 30000))
            << toString(step) << ": " << frame->width() << " " << menu_.scrollArea()->viewport()->width();
    }
    menu_.setStep(WorkflowStep::input);
    EXPECT_NE(qobject_cast<views::InputView*>(menu_.panel()), nullptr);
    EXPECT_EQ(menu_.scrollArea(), nullptr);
}

TEST_F(StepMenuTest, TheSameStepKeepsItsPanel) {
    menu_.setStep(WorkflowStep::training);
    QWidget* panel = menu_.panel();
    menu_.setStep(WorkflowStep::training);
    EXPECT_EQ(menu_.panel(), panel);
}

TEST_F(StepMenuTest, TheSfMHeaderFollowsTheRun) {
    menu_.setStep(WorkflowStep::sfm);
    auto* header = static_cast<views::SfMPanelView*>(menu_.panel())->header();
    EXPECT_EQ(header->title(), QStringLiteral("Structure from Motion"));
    const std::vector<std::pair<PipelineState, const char*>> table{
        {Kind::idle, nullptr},
        {Kind::extractingFrames, nullptr},
        {Kind::processingSfM, "Running\u2026"},
        {Kind::preparingData, "Complete"},
        {Kind::awaitingPartitionApproval, "Complete"},
        {Kind::materializingCells, "Complete"},
        {Kind::training, "Complete"},
        {Kind::exporting, "Complete"},
        {Kind::completed, "Complete"},
        {PipelineState::error("boom"), nullptr},
    };
    for (const auto& [state, text] : table) {
        model_->setCurrentState(state);
        auto* badge = qobject_cast<views::StatusBadge*>(header->trailing());
        if (!text) {
            EXPECT_EQ(header->trailing(), nullptr) << pipeline::toString(state);
            continue;
        }
        ASSERT_NE(badge, nullptr) << pipeline::toString(state);
        EXPECT_EQ(badge->text().toStdString(), text);
        EXPECT_EQ(badge->isRunning(), state.kind == Kind::processingSfM);
        EXPECT_TRUE(badge->isVisible());
    }
}

TEST_F(StepMenuTest, OpenModelViewerOpensTheImporterFromAnyStepAndReportsTheChosenModel) {
    QSignalSpy chosen(&menu_, &StepMenuView::modelChosen);
    for (WorkflowStep step : {WorkflowStep::input, WorkflowStep::sfm, WorkflowStep::training}) {
        menu_.setStep(step);
        nextChoice_ = QUrl::fromLocalFile(QStringLiteral("/models/scene.splat"));
        views::ApplicationNotifier::instance().postOpenModelViewer();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !menu_.showFilePicker(); }, 30000)) << toString(step);
        EXPECT_EQ(viewer_.url(), *nextChoice_);
    }
    EXPECT_EQ(importerCalls_, 3);
    ASSERT_EQ(chosen.size(), 3);
    EXPECT_EQ(chosen.at(0).at(0).toUrl(), QUrl::fromLocalFile(QStringLiteral("/models/scene.splat")));

    // Cancelled: nothing is reported.
    nextChoice_.reset();
    views::ApplicationNotifier::instance().postOpenModelViewer();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !menu_.showFilePicker(); }, 30000));
    EXPECT_EQ(chosen.size(), 3);
}

TEST_F(StepMenuTest, TheImporterSetsTheModelOrLeavesItOnCancel) {
    menu_.setStep(WorkflowStep::final);
    for (const char* name : {"/models/a.ply", "/models/b.spz", "/models/c.splat"}) {
        nextChoice_ = QUrl::fromLocalFile(QString::fromUtf8(name));
        views::ApplicationNotifier::instance().postOpenModelViewer();
        settle();
        EXPECT_EQ(viewer_.url(), *nextChoice_);
    }
    const QUrl chosen = viewer_.url();
    nextChoice_.reset();
    views::ApplicationNotifier::instance().postOpenModelViewer();
    settle();
    EXPECT_EQ(importerCalls_, 4);
    EXPECT_EQ(viewer_.url(), chosen);
    EXPECT_FALSE(menu_.showFilePicker());
}

TEST_F(StepMenuTest, AMenuOutOfUseKeepsTheRequestUntilItIsUsable) {
    menu_.setStep(WorkflowStep::final);
    menu_.setEnabled(false);
    views::ApplicationNotifier::instance().postOpenModelViewer();
    settle();
    EXPECT_EQ(importerCalls_, 0);
    menu_.hide();
    menu_.setEnabled(true);
    settle();
    EXPECT_EQ(importerCalls_, 0);
    EXPECT_TRUE(menu_.showFilePicker());
    menu_.show();
    settle();
    EXPECT_EQ(importerCalls_, 1);
    EXPECT_FALSE(menu_.showFilePicker());
}

TEST_F(StepMenuTest, TheFinalPanelsOpenButtonAsksForTheImporter) {
    menu_.setStep(WorkflowStep::final);
    nextChoice_ = QUrl::fromLocalFile(QStringLiteral("/models/x.ply"));
    emit static_cast<views::FinalPanelView*>(menu_.panel())->openModelRequested();
    settle();
    EXPECT_EQ(importerCalls_, 1);
    EXPECT_EQ(viewer_.url(), *nextChoice_);
}

TEST_F(StepMenuTest, AStepChangeFromInsideThePanelLeavesItAliveUntilItsHandlerReturns) {
    // A panel whose own button changes the step (a run starting) must not
    // be destroyed under its handler.
    QPointer<QWidget> input = menu_.panel();
    menu_.setStep(WorkflowStep::sfm);
    EXPECT_FALSE(input.isNull());
    EXPECT_FALSE(input->isVisible());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(input.isNull());
}

}  // namespace
}  // namespace tessaron::testing
