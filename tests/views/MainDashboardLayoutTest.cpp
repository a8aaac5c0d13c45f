// The dashboard's layers as they lie on one another: nothing the user must
// read or drag lies under the step menu or its resize handle, at the default
// window size and at the smallest, with the menu at its default width, at its
// widest and collapsed; controls over the black 3D panes stay visible.
#include <gtest/gtest.h>

#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

#include "ViewsTestSupport.hpp"
#include "core/PreferenceStore.hpp"
#include "views/Conversion360LiveView.hpp"
#include "views/FloatingPanel.hpp"
#include "views/InputView.hpp"
#include "views/LogDrawerView.hpp"
#include "views/MainDashboardView.hpp"
#include "views/StepBackgroundView.hpp"
#include "views/StepMarkersView.hpp"
#include "views/StepMenuView.hpp"
#include "views/Theme.hpp"

namespace tessaron::testing {
namespace {

using viewmodel::PipelineViewModel;
using viewmodel::WorkflowStep;
using views::MainDashboardView;
using views::StepBackgroundView;
using Kind = pipeline::PipelineState::Kind;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

struct WindowCase {
    QSize size;
    const char* menuWidth;  // as stored
    bool collapsed;
};

std::string describe(const WindowCase& c) {
    return std::to_string(c.size.width()) + "x" + std::to_string(c.size.height()) + " menu " + c.menuWidth +
           (c.collapsed ? " collapsed" : "");
}

const std::vector<WindowCase> windowCases{
    {{1280, 800}, "430", false}, {{900, 600}, "430", false}, {{900, 600}, "560", false},
    {{1280, 800}, "560", false}, {{900, 600}, "430", true},
};

class DashboardLayout : public ::testing::Test {
protected:
    void build(const WindowCase& c) {
        dashboard_.reset();
        defaults_.setString(MainDashboardView::menuWidthKey, c.menuWidth);
        dashboard_ = std::make_unique<MainDashboardView>(*model_, defaults_, true);
        dashboard_->resize(c.size);
        dashboard_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dashboard_.get()));
        if (c.collapsed) {
            dashboard_->setMenuCollapsed(true);
            ASSERT_TRUE(QTest::qWaitFor([&] { return dashboard_->menuPanel()->geometry().right() < 0; }, 3000));
        }
    }

    // What the menu covers, in the dashboard's coordinates.
    QRect menuArea() const {
        return dashboard_->menuPanel()->geometry().united(dashboard_->resizeHandle()->geometry());
    }
    QRect inDashboard(const QWidget* widget) const {
        return QRect(widget->mapTo(dashboard_.get(), QPoint(0, 0)), widget->size());
    }
    // The centre pane's message once the Final step is picked in this
    // window; none, with a failure, when the pane shows something else.
    QLabel* finalStepMessage(const WindowCase& c) {
        build(c);
        dashboard_->selectStep(WorkflowStep::final);
        StepBackgroundView* pane = dashboard_->centrePane();
        EXPECT_EQ(pane->contentKind(), StepBackgroundView::Content::message) << describe(c);
        return qobject_cast<QLabel*>(pane->content());
    }
    // The whole of `widget` is on screen and clear of the menu.
    void expectClearOfTheMenu(const QWidget* widget, const std::string& what) const {
        const QRect area = inDashboard(widget);
        EXPECT_FALSE(area.intersects(menuArea())) << what;
        EXPECT_TRUE(dashboard_->rect().contains(area)) << what;
    }

    TempDir support_{"views-dashboard-layout"};
    std::unique_ptr<PipelineViewModel> model_ = makeViewModel(support_);
    core::InMemoryPreferenceStore defaults_;
    std::unique_ptr<MainDashboardView> dashboard_;
};

TEST_F(DashboardLayout, TheMenusScrollBarTakesItsOwnDragsOverItsWholeWidth) {
    build(windowCases[1]);
    dashboard_->selectStep(WorkflowStep::final);
    // The Input form, a scroll area too, goes at the next turn of the loop.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    auto* area = dashboard_->stepMenu()->findChild<QScrollArea*>();
    ASSERT_NE(area, nullptr);
    QScrollBar* bar = area->verticalScrollBar();
    ASSERT_TRUE(QTest::qWaitFor([&] { return bar->isVisible() && bar->maximum() > 0; }, 3000));
    const QRect barArea = inDashboard(bar);
    EXPECT_FALSE(barArea.intersects(dashboard_->resizeHandle()->geometry()));
    // Every column of the bar is the bar's own.
    for (int x = barArea.left(); x <= barArea.right(); ++x)
        EXPECT_EQ(dashboard_->childAt(QPoint(x, barArea.center().y())), bar) << "column " << x - barArea.left();

    // A drag at its centre scrolls; the menu keeps its width.
    QWidget* hit = dashboard_->childAt(barArea.center());
    ASSERT_EQ(hit, bar);
    const QPoint grip = bar->rect().center();
    const int before = bar->value();
    QTest::mousePress(bar, Qt::LeftButton, {}, QPoint(grip.x(), 20));
    QTest::mouseMove(bar, QPoint(grip.x(), 120));
    QTest::mouseRelease(bar, Qt::LeftButton, {}, QPoint(grip.x(), 120));
    EXPECT_GT(bar->value(), before);
    EXPECT_EQ(dashboard_->menuWidth(), 430);
}

TEST_F(DashboardLayout, MessagesAndHintsLieWhereTheMenuLeavesFree) {
    for (const WindowCase& c : windowCases) {
        const std::string where = describe(c);
        // The Final step's message while nothing ran.
        QLabel* message = finalStepMessage(c);
        ASSERT_NE(message, nullptr) << where;
        StepBackgroundView* pane = dashboard_->centrePane();
        expectClearOfTheMenu(message, where + " message");
        // Wrapped to its width when the free part is narrow: every word shows.
        const QRect needed = message->fontMetrics().boundingRect(QRect(0, 0, message->width(), 10000),
                                                                 Qt::AlignCenter | Qt::TextWordWrap, message->text());
        EXPECT_LE(needed.width(), message->width()) << where;
        EXPECT_LE(needed.height(), message->height()) << where;
        // Centred in what is free.
        const QRect free = pane->freeArea();
        EXPECT_NEAR(inDashboard(message).center().x(), free.center().x(), 1) << where;
        EXPECT_EQ(free.left(), std::max(0, menuArea().left() + dashboard_->menuPanel()->width())) << where;

        pane->showTransientHint(StepBackgroundView::otherHint);
        QWidget* hint = pane->hintCapsule();
        ASSERT_TRUE(hint->isVisible());
        expectClearOfTheMenu(hint, where + " hint");
        auto* hintText = hint->findChild<QLabel*>();
        const QRect hintNeeded = hintText->fontMetrics().boundingRect(
            QRect(0, 0, hintText->width(), 10000), Qt::AlignCenter | Qt::TextWordWrap, hintText->text());
        EXPECT_LE(hintNeeded.height(), hintText->height()) << where;
    }
}

// A failure's message names the step whose log the open drawer shows: the
// two lie side by side, the message wrapped in the room between.
TEST_F(DashboardLayout, AFailureMessageLiesClearOfTheOpenDrawer) {
    model_->setCurrentState(Kind::processingSfM);
    model_->setCurrentState(pipeline::PipelineState::error("Sparse reconstruction failed (exit 1)"));
    model_->setIsLogMenuExpanded(true);
    int roomy = 0;
    for (const WindowCase& c : windowCases) {
        const std::string where = describe(c);
        QLabel* message = finalStepMessage(c);
        ASSERT_NE(message, nullptr) << where;
        StepBackgroundView* pane = dashboard_->centrePane();
        const QRect drawer = inDashboard(dashboard_->logDrawer());
        ASSERT_TRUE(dashboard_->logDrawer()->isVisible()) << where;
        expectClearOfTheMenu(message, where + " message");
        // A narrow window leaves no room between menu and drawer.
        if (drawer.left() - pane->freeArea().left() < MainDashboardView::minimumMessageRoom) continue;
        const QRect needed = message->fontMetrics().boundingRect(message->rect(), Qt::AlignCenter | Qt::TextWordWrap,
                                                                 message->text());
        const QRect text = needed.translated(inDashboard(message).topLeft());
        EXPECT_FALSE(text.intersects(drawer)) << where;
        ++roomy;
    }
    EXPECT_GE(roomy, 2);
}

TEST_F(DashboardLayout, TheLiveConversionLiesRightOfTheInputPanel) {
    model_->setIsInputVideo(true);
    model_->setTreatAs360(true);
    model_->setExtractionTotal(48);
    model_->setExtractionCurrent(12);
    auto preview = std::make_shared<viewmodel::ConversionPreview>();
    preview->equirect = QImage(640, 320, QImage::Format_ARGB32);
    preview->equirect.fill(Qt::darkCyan);
    for (int crop = 0; crop < 16; ++crop) {
        QImage tile(64, 64, QImage::Format_ARGB32);
        tile.fill(Qt::darkYellow);
        preview->crops.push_back(tile);
    }
    preview->extractedFrames = 3;
    model_->setConversionPreview(preview);
    model_->setCurrentState(Kind::extractingFrames);
    for (const WindowCase& c : windowCases) {
        build(c);
        const std::string where = describe(c);
        auto* view = qobject_cast<views::Conversion360LiveView*>(dashboard_->centrePane()->content());
        ASSERT_NE(view, nullptr) << where;
        const QPoint origin = view->mapTo(dashboard_.get(), QPoint(0, 0));
        const QRect menu = c.collapsed ? QRect() : menuArea();
        EXPECT_FALSE(view->frameRect().translated(origin).intersects(menu)) << where;
        ASSERT_EQ(view->tileRects().size(), 16u) << where;
        for (const QRectF& tile : view->tileRects()) {
            EXPECT_FALSE(tile.translated(origin).intersects(menu)) << where;
            EXPECT_TRUE(QRectF(dashboard_->rect()).contains(tile.translated(origin))) << where;
        }
    }
}

// The form lies on the panel's material from its first paint on: its own
// fill would show as a flat square over the panel's rounded corners.
TEST_F(DashboardLayout, TheInputFormDrawsNoFillOfItsOwn) {
    build(windowCases[0]);
    auto* form = dashboard_->stepMenu()->findChild<views::InputView*>();
    ASSERT_NE(form, nullptr);
    EXPECT_FALSE(form->widget()->autoFillBackground());
    const QImage shot = dashboard_->grab().toImage();
    const QRect panel = dashboard_->menuPanel()->geometry();
    // Inside a rounded corner the pane behind shows, as it does beside the
    // panel; further in, the material, lighter than the pane.
    const QPoint corner = panel.topLeft() + QPoint(2, 2);
    const QColor behind = shot.pixelColor(QPoint(panel.left() - 4, corner.y()));
    EXPECT_EQ(shot.pixelColor(corner), behind);
    const QPoint inside = panel.bottomLeft() + QPoint(60, -40);
    EXPECT_GT(shot.pixelColor(inside).lightness(), shot.pixelColor(QPoint(panel.left() - 4, inside.y())).lightness());
}

TEST_F(DashboardLayout, OverTheBlackPanesTheStepBarAndTheLogButtonTurnLight) {
    build(windowCases[0]);
    auto lightness = [](const QColor& color) { return color.toHsl().lightness(); };
    EXPECT_FALSE(dashboard_->stepMarkers()->isOnDarkBackground());
    const QColor onLight = dashboard_->logButtonColor();
    EXPECT_LT(lightness(onLight), 128);

    model_->setCurrentState(Kind::processingSfM);
    ASSERT_TRUE(dashboard_->centrePane()->showsDarkContent());
    EXPECT_TRUE(dashboard_->stepMarkers()->isOnDarkBackground());
    EXPECT_GT(lightness(dashboard_->logButtonColor()), 128);
    EXPECT_EQ(dashboard_->logButtonColor().alphaF(), onLight.alphaF());
    EXPECT_GT(lightness(dashboard_->stepMarkers()->pendingSymbolColor()), 128);

    // An open drawer's button stays blue over any pane.
    model_->setIsLogMenuExpanded(true);
    EXPECT_EQ(dashboard_->logButtonColor(), views::theme::color(views::theme::NamedColor::blue));
    model_->setIsLogMenuExpanded(false);
    dashboard_->selectStep(WorkflowStep::input);
    EXPECT_FALSE(dashboard_->stepMarkers()->isOnDarkBackground());
    EXPECT_EQ(dashboard_->logButtonColor(), onLight);
}

}  // namespace
}  // namespace tessaron::testing
