// The window's movement as the Parts give it, stepped on a clock of the
// test's own: the step menu's spring, the drawer, show button and inspector
// that fade (and slide) in and out, the hint capsule that rises, the step
// bar's easing fill. Each change takes effect at once; only the drawing
// follows, and a change mid-way ends at the newest value.
#include <gtest/gtest.h>

#include <QTest>
#include <QVariantAnimation>

#include "AnimationClock.hpp"
#include "ViewsTestSupport.hpp"
#include "core/PreferenceStore.hpp"
#include "views/FloatingPanel.hpp"
#include "views/LogDrawerView.hpp"
#include "views/MainDashboardView.hpp"
#include "views/PresenceTransition.hpp"
#include "views/StepBackgroundView.hpp"
#include "views/StepMarkersView.hpp"

namespace tessaron::testing {
namespace {

using viewmodel::PipelineViewModel;
using viewmodel::StepProgress;
using viewmodel::WorkflowStep;
using views::MainDashboardView;
using views::Motion;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

class DashboardMotion : public ::testing::Test {
protected:
    void SetUp() override {
        dashboard_.resize(1280, 800);
        dashboard_.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dashboard_));
    }

    TempDir support_{"views-dashboard-motion"};
    std::unique_ptr<PipelineViewModel> model_ = makeViewModel(support_);
    core::InMemoryPreferenceStore defaults_;
    MainDashboardView dashboard_{*model_, defaults_, true};
};

TEST_F(DashboardMotion, ThePanelSpringsOutAndBackAndTurnsRoundMidWay) {
    AnimationClock clock;
    const int settle = Motion::milliseconds({0.35, 0.8});
    const int collapsedX = 24 - (430 + 48);
    dashboard_.setMenuCollapsed(true);
    // Collapsed at once: it takes no clicks, the show button is on its way.
    EXPECT_TRUE(dashboard_.isMenuCollapsed());
    EXPECT_TRUE(dashboard_.menuPanel()->testAttribute(Qt::WA_TransparentForMouseEvents));
    EXPECT_TRUE(dashboard_.showButton()->isVisible());
    EXPECT_EQ(dashboard_.menuPanel()->x(), 24);
    clock.step(80);
    const int early = dashboard_.menuPanel()->x();
    EXPECT_LT(early, 24);
    EXPECT_GT(early, collapsedX);
    // The spring overshoots a little past its place before it settles.
    int furthest = early;
    for (int passed = 80; passed < settle; passed += 16) {
        clock.step(16);
        furthest = std::min(furthest, dashboard_.menuPanel()->x());
    }
    clock.step(16);
    EXPECT_EQ(dashboard_.menuPanel()->x(), collapsedX);
    EXPECT_LT(furthest, collapsedX);
    EXPECT_EQ(dashboard_.showButton()->x(), 8);

    // Shown again, and hidden again before it arrived: it ends hidden.
    dashboard_.setMenuCollapsed(false);
    clock.step(100);
    const int back = dashboard_.menuPanel()->x();
    EXPECT_GT(back, collapsedX);
    dashboard_.setMenuCollapsed(true);
    clock.step(16);
    EXPECT_LT(dashboard_.menuPanel()->x(), back + 20) << "turned round from where it was drawn";
    clock.run(settle + 16);
    EXPECT_EQ(dashboard_.menuPanel()->x(), collapsedX);
    EXPECT_TRUE(dashboard_.showButton()->isVisible());
}

TEST_F(DashboardMotion, TheDrawerSlidesInFromTheTrailingEdgeAndLeavesTheSameWay) {
    AnimationClock clock;
    const int placed = 1280 - 24 - 400;
    model_->setIsLogMenuExpanded(true);
    views::LogDrawerView* drawer = dashboard_.logDrawer();
    ASSERT_TRUE(drawer->isVisible());
    EXPECT_GE(drawer->x(), 1280) << "it starts beyond the edge";
    clock.step(175);
    EXPECT_GT(drawer->x(), placed);
    EXPECT_LT(drawer->x(), 1280);
    EXPECT_GT(dashboard_.logDrawerTransition()->presence(), 0.0);
    clock.step(175);
    EXPECT_EQ(drawer->x(), placed);
    EXPECT_EQ(drawer->graphicsEffect(), nullptr);

    // Closed, opened and closed again on the way: it ends closed and hidden.
    model_->setIsLogMenuExpanded(false);
    clock.step(100);
    model_->setIsLogMenuExpanded(true);
    clock.step(50);
    model_->setIsLogMenuExpanded(false);
    EXPECT_TRUE(drawer->testAttribute(Qt::WA_TransparentForMouseEvents));
    clock.run(350);
    EXPECT_FALSE(drawer->isVisible());
    EXPECT_EQ(dashboard_.logDrawerTransition()->presence(), 0.0);
}

TEST_F(DashboardMotion, TheInspectorFadesInAndOutOverAFifthOfASecond) {
    AnimationClock clock;
    model_->setShow360Inspector(true);
    ASSERT_TRUE(dashboard_.inspector()->isVisible());
    clock.step(100);
    const double half = dashboard_.inspectorTransition()->presence();
    EXPECT_GT(half, 0.2);
    EXPECT_LT(half, 0.8);
    clock.step(100);
    EXPECT_EQ(dashboard_.inspectorTransition()->presence(), 1.0);
    model_->setShow360Inspector(false);
    clock.step(200);
    EXPECT_FALSE(dashboard_.inspector()->isVisible());
}

TEST_F(DashboardMotion, TheHintRisesFromTheBottomAsItFadesIn) {
    AnimationClock clock;
    views::StepBackgroundView* pane = dashboard_.centrePane();
    pane->showTransientHint(views::StepBackgroundView::otherHint);
    ASSERT_TRUE(pane->transientHint());
    QWidget* hint = pane->hintCapsule();
    ASSERT_TRUE(hint->isVisible());
    const int placedBottom = pane->height() - 120;
    EXPECT_GE(hint->geometry().top(), pane->height()) << "below the pane's edge";
    clock.step(100);
    EXPECT_GT(hint->geometry().bottom() + 1, placedBottom);
    EXPECT_LT(hint->geometry().top(), pane->height());
    // A second hint on the way keeps rising; its text is there at once.
    pane->showTransientHint(views::StepBackgroundView::busyHint);
    EXPECT_EQ(*pane->transientHint(), views::StepBackgroundView::busyHint);
    clock.step(200);
    EXPECT_EQ(hint->geometry().bottom() + 1, placedBottom);
    EXPECT_EQ(pane->hintTransition()->presence(), 1.0);
}

TEST(StepBarFill, EasesToEachNewAmountAndEndsAtTheNewest) {
    views::StepMarkersView bar;
    bar.resize(bar.sizeHint());
    bar.show();
    bar.setSelectedStep(WorkflowStep::training);
    auto statuses = [](double fraction) {
        std::array<StepProgress, 5> all{};
        all[std::size_t(WorkflowStep::training)] = StepProgress::fraction(fraction);
        return all;
    };
    const double width = bar.markerRect(WorkflowStep::training).width();
    AnimationClock clock;
    bar.setStatuses(statuses(0.2));
    EXPECT_DOUBLE_EQ(*bar.fillWidth(), 0) << "drawn from where it was";
    clock.step(150);
    EXPECT_DOUBLE_EQ(bar.shownFraction(), 0.1) << "half way, eased in and out";
    bar.setStatuses(statuses(0.8));
    clock.step(150);
    EXPECT_GT(bar.shownFraction(), 0.1);
    EXPECT_LT(bar.shownFraction(), 0.8);
    // The same amount again does not restart the easing.
    const int before = bar.fillAnimation()->currentTime();
    bar.setStatuses(statuses(0.8));
    EXPECT_EQ(bar.fillAnimation()->currentTime(), before);
    clock.step(150);
    EXPECT_DOUBLE_EQ(*bar.fillWidth(), 0.8 * width);
    // Another step selected shows its own amount at once.
    bar.setSelectedStep(WorkflowStep::sfm);
    EXPECT_EQ(bar.fillWidth(), std::nullopt);
    bar.setSelectedStep(WorkflowStep::training);
    EXPECT_DOUBLE_EQ(*bar.fillWidth(), 0.8 * bar.markerRect(WorkflowStep::training).width());
}

}  // namespace
}  // namespace tessaron::testing
