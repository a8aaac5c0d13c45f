// The Final step's viewer in the dashboard: a dropped model, or one chosen
// with "Open Model in Viewer..." from any step, opens in it, also during a
// run; the run's output takes its place when a new run delivers one, its
// statistics reach the dashboard's state, and a load error shows over it
// until the model changes.
#include <gtest/gtest.h>

#include <QTest>

#include "viewer/SplatRendererView.hpp"
#include "viewer/ViewerTestScenes.hpp"
#include "views/ApplicationNotifier.hpp"
#include "views/DropTestSupport.hpp"
#include "views/MainDashboardView.hpp"
#include "views/StepBackgroundView.hpp"
#include "views/StepMenuView.hpp"
#include "views/ViewsTestSupport.hpp"

namespace tessaron::testing {
namespace {

using viewmodel::PipelineViewModel;
using viewmodel::WorkflowStep;
using views::StepBackgroundView;
using Kind = pipeline::PipelineState::Kind;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

// One test: every case here is a process of its own under its own X
// server, whose start is slow.
TEST(FinalViewerSlot, ShowsTheDroppedModelThenTheRunsOutput) {
    TempDir support("tessaron-views");
    TempDir files("tessaron-models");
    const auto dropped = files / "Dropped.PLY";
    const auto output = files / "output.ply";
    const auto broken = files / "broken.splat";
    viewer::testing::writePLY(dropped, viewer::testing::cluster(200, {0, 0, 4}, 0.3f, {255, 0, 0}, 1));
    viewer::testing::writePLY(output, viewer::testing::cluster(300, {0, 0, 4}, 0.3f, {0, 255, 0}, 2));
    writeTextFile(broken, "seven bytes");

    auto model = makeViewModel(support);
    core::InMemoryPreferenceStore defaults;
    views::MainDashboardView dashboard(*model, defaults, true);
    dashboard.resize(1000, 700);
    dashboard.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dashboard));
    StepBackgroundView* pane = dashboard.centrePane();
    EXPECT_EQ(pane->viewerView(), nullptr);

    // A model dropped while nothing runs opens in the Final step.
    ASSERT_TRUE(dropURLs(pane, {fileURL(dropped)}).dropped);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dashboard.selectedStep() == WorkflowStep::final; }, 30000));
    EXPECT_EQ(dashboard.finalViewer().url(), fileURL(dropped));
    ASSERT_NE(pane->viewerView(), nullptr);
    EXPECT_EQ(pane->viewerView()->fileURL(), dropped);
    // Its statistics reach the dashboard's state.
    ASSERT_TRUE(QTest::qWaitFor([&] { return dashboard.finalViewer().stats().gaussianCount == 200; }, 30000));

    // A broken file: the error shows over the viewer, which stays.
    dashboard.finalViewer().setUrl(fileURL(broken));
    ASSERT_TRUE(QTest::qWaitFor([&] { return pane->viewerError().has_value(); }, 30000));
    EXPECT_TRUE(pane->viewerErrorBadge()->isVisible());
    EXPECT_NE(pane->viewerView(), nullptr);
    // A step away and back keeps the error; a new model clears it.
    dashboard.selectStep(WorkflowStep::training);
    dashboard.selectStep(WorkflowStep::final);
    EXPECT_TRUE(pane->viewerError().has_value());
    dashboard.finalViewer().setUrl(fileURL(dropped));
    EXPECT_FALSE(pane->viewerError().has_value());
    EXPECT_FALSE(pane->viewerErrorBadge()->isVisible());

    // A new run's output replaces the dropped model.
    model->setOutputPlyPath(QString::fromStdString(output.string()));
    EXPECT_TRUE(dashboard.finalViewer().url().isEmpty());
    EXPECT_EQ(pane->viewerView()->fileURL(), output);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dashboard.finalViewer().stats().gaussianCount == 300; }, 30000));

    // While a run is busy a dropped model still opens in the Final step,
    // and the run goes on.
    model->setHasActiveOperation(true);
    dashboard.selectStep(WorkflowStep::training);
    ASSERT_TRUE(dropURLs(pane, {fileURL(dropped)}).dropped);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dashboard.selectedStep() == WorkflowStep::final; }, 30000));
    EXPECT_EQ(dashboard.finalViewer().url(), fileURL(dropped));
    EXPECT_TRUE(model->hasActiveOperation());

    // "Open Model in Viewer..." from another step: the chosen model shows
    // in the Final step; a cancelled importer leaves the step.
    std::optional<QUrl> answer;
    dashboard.stepMenu()->setModelImporter([&](QWidget*) { return answer; });
    dashboard.selectStep(WorkflowStep::input);
    views::ApplicationNotifier::instance().postOpenModelViewer();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dashboard.stepMenu()->showFilePicker(); }, 30000));
    EXPECT_EQ(dashboard.selectedStep(), WorkflowStep::input);
    answer = fileURL(output);
    views::ApplicationNotifier::instance().postOpenModelViewer();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dashboard.selectedStep() == WorkflowStep::final; }, 30000));
    EXPECT_EQ(dashboard.finalViewer().url(), fileURL(output));
    EXPECT_EQ(pane->viewerView()->fileURL(), output);
    model->setHasActiveOperation(false);
}

}  // namespace
}  // namespace tessaron::testing
