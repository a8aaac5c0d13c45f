// The welcome tour in the real main window, driven from the keyboard and
// the mouse: a first launch shows it, Return walks its sixteen cards with
// the spotlight on each step's control, the end is remembered, "Welcome
// Tour" brings it back, and no child process is ever started.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <set>
#include <unistd.h>

#include "services/TourOrchestrator.hpp"
#include "services/WelcomeTourOverlay.hpp"
#include "support/EventLoopWait.hpp"
#include "core/PreferenceStore.hpp"
#include "support/ProcessTree.hpp"
#include "support/TempDir.hpp"
#include "viewmodel/PipelineViewModel.hpp"
#include "viewmodel/SettingsPreferenceStore.hpp"
#include "viewmodel/ViewModelTestSupport.hpp"
#include "views/ApplicationNotifier.hpp"
#include "views/FloatingPanel.hpp"
#include "views/LogDrawerView.hpp"
#include "views/MainDashboardView.hpp"
#include "views/ResourcesPanelView.hpp"
#include "views/MainWindow.hpp"
#include "views/StepMarkersView.hpp"
#include "views/TessaronCommands.hpp"
#include "views/TourHost.hpp"

namespace tessaron::testing {
namespace {

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

using services::TourOrchestrator;
using services::WelcomeTourOverlay;
using Step = TourOrchestrator::TourStep;
using Kind = pipeline::PipelineState::Kind;
using viewmodel::PipelineViewModel;

// Processes the model's monitor watches besides the application itself.
size_t watchedChildren(const PipelineViewModel& model) {
    size_t count = 0;
    for (const auto& snapshot : model.processMonitor()->snapshots())
        if (snapshot.name != engines::ProcessMonitor::kApplicationName) ++count;
    return count;
}

class TourHostTest : public ::testing::Test {
protected:
    PipelineViewModel::Configuration configuration() const {
        PipelineViewModel::Configuration configuration;
        configuration.physicalMemoryBytes = gibibytes(16);
        configuration.manager.supportFolder = support_.path();
        return configuration;
    }

    std::unique_ptr<views::MainWindow> launch(core::PreferenceStore& defaults, QSize size = QSize(1440, 900)) {
        auto window = std::make_unique<views::MainWindow>(
            *model_, defaults, views::ModelOperations::standard(), views::ApplicationActions{}, nullptr,
            [configuration = configuration()] { return std::make_unique<PipelineViewModel>(configuration); });
        window->resize(size);
        window->show();
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
        return window;
    }

    // Return, pressed where the keyboard focus is.
    static void pressReturn(views::MainWindow& window) {
        // The first OpenGL view shown recreates the window's native surface,
        // which on a bare X server (no window manager) leaves it inactive.
        if (!window.isActiveWindow()) {
            window.activateWindow();
            ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        }
        QWidget* focus = QApplication::focusWidget();
        ASSERT_NE(focus, nullptr);
        EXPECT_TRUE(focus == &window.tourHost().overlay() || window.tourHost().overlay().isAncestorOf(focus));
        QTest::keyClick(focus, Qt::Key_Return);
    }

    // The frames settled and the card and hole at rest.
    static void settle(views::TourHost& host) {
        ASSERT_TRUE(deliverEventsDueWithin());  // the spotlights' frames are gathered from the event loop
        ASSERT_TRUE(QTest::qWaitFor([&] { return !host.overlay().isAnimating(); }, 30000));
    }

    TempDir support_{"tessaron-tour-host"};
    std::unique_ptr<PipelineViewModel> model_ = std::make_unique<PipelineViewModel>(configuration());
};

TEST_F(TourHostTest, AFirstLaunchWalksSixteenCardsWithReturnAndTheNextLaunchHasNoTour) {
    core::InMemoryPreferenceStore defaults;
    auto window = launch(defaults);
    views::TourHost& host = window->tourHost();
    ASSERT_TRUE(host.isTourShown());
    ASSERT_NE(host.sampleDashboard(), nullptr);
    EXPECT_TRUE(host.tour().mockVM().isTourSample());
    EXPECT_TRUE(host.overlay().isVisible());
    EXPECT_FALSE(host.dashboard().isEnabled());
    EXPECT_FALSE(host.sampleDashboard()->isEnabled());
    EXPECT_EQ(window->commands().focusedModel(), nullptr);
    EXPECT_EQ(host.tour().currentTourStep(), Step::introduction);
    EXPECT_EQ(host.overlay().titleLabel()->text(), QStringLiteral("Welcome to Tessaron"));

    // The dashboard's own layers carry these steps.
    views::MainDashboardView& sample = *host.sampleDashboard();
    const std::map<Step, QWidget*> anchored{{Step::main_progress_bar, sample.stepMarkers()},
                                            {Step::planning_resources, sample.resourcesPanel()},
                                            {Step::training_logs, sample.logDrawer()}};
    ::testing::internal::CaptureStdout();
    for (size_t index = 1; index < TourOrchestrator::stepCount; ++index) {
        pressReturn(*window);
        const Step step = services::allTourSteps()[index];
        ASSERT_EQ(host.tour().currentTourStep(), step);
        settle(host);
        EXPECT_EQ(host.overlay().titleLabel()->text(), WelcomeTourOverlay::content(step).title);
        // Every step finds a control to point at.
        auto hole = host.overlay().hole();
        ASSERT_TRUE(hole) << services::toString(step);
        // The dashboard's layers, and the input form's sections by their name.
        QWidget* control = anchored.count(step)
                               ? anchored.at(step)
                               : sample.findChild<QWidget*>(QString::fromStdString(services::toString(step)));
        if (control != nullptr) {
            // The form scrolls its section into view; the spotlight follows.
            auto padded = [&] {
                return QRectF(QPointF(control->mapTo(&host, QPoint(0, 0))), QSizeF(control->size()))
                    .adjusted(-12, -12, 12, 12);
            };
            EXPECT_TRUE(QTest::qWaitFor([&] { return host.overlay().hole() == padded(); }, 30000))
                << services::toString(step);
        }
        if (step >= Step::input_dropzone && step <= Step::input_advanced_vast) {
            ASSERT_NE(control, nullptr) << services::toString(step);
            EXPECT_TRUE(control->isVisible()) << services::toString(step);
        }
        EXPECT_TRUE(QRectF(host.rect()).contains(QRectF(host.overlay().card()->geometry())));
    }
    ::testing::internal::GetCapturedStdout();
    PipelineViewModel& walked = host.tour().mockVM();
    EXPECT_EQ(walked.currentState().kind, Kind::completed);
    ASSERT_TRUE(walked.outputPlyPath());
    EXPECT_TRUE(walked.outputPlyPath()->endsWith(QStringLiteral("dummy_tour.ply")));
    EXPECT_TRUE(walked.partitionPlan());
    EXPECT_EQ(host.overlay().mainButton()->text(), QStringLiteral("Finish (Enter)"));
    // Nothing ran: no child of this process, none watched by either model.
    EXPECT_TRUE(descendantNames().empty());
    EXPECT_EQ(watchedChildren(walked), 0u);
    EXPECT_FALSE(walked.pipelineManager()->isProcessRunning());
    EXPECT_EQ(watchedChildren(*model_), 0u);
    EXPECT_EQ(defaults.string("hasSeenWelcomeTour"), std::nullopt);

    pressReturn(*window);
    EXPECT_EQ(defaults.string("hasSeenWelcomeTour"), "true");
    EXPECT_FALSE(host.isTourShown());
    EXPECT_EQ(host.sampleDashboard(), nullptr);
    EXPECT_FALSE(host.overlay().isVisible());
    EXPECT_TRUE(host.dashboard().isEnabled());
    EXPECT_EQ(window->commands().focusedModel(), model_.get());
    // A clean sample waits for the next tour.
    EXPECT_EQ(host.tour().currentTourStep(), Step::introduction);
    EXPECT_EQ(host.tour().mockVM().currentState().kind, Kind::idle);
    EXPECT_FALSE(host.tour().isTimerActive());
    window.reset();

    auto second = launch(defaults);
    EXPECT_FALSE(second->tourHost().isTourShown());
    EXPECT_EQ(second->tourHost().sampleDashboard(), nullptr);
    EXPECT_FALSE(second->tourHost().overlay().isVisible());
    EXPECT_EQ(second->commands().focusedModel(), model_.get());
}

TEST_F(TourHostTest, WithTheSettingsStoreSkippingIsRememberedAndWelcomeTourBringsItBack) {
    viewmodel::SettingsPreferenceStore defaults;
    ASSERT_EQ(defaults.string("hasSeenWelcomeTour"), std::nullopt);
    {
        auto window = launch(defaults, QSize(900, 600));
        views::TourHost& host = window->tourHost();
        ASSERT_TRUE(host.isTourShown());
        pressReturn(*window);
        pressReturn(*window);
        ASSERT_EQ(host.tour().currentTourStep(), Step::input_dropzone);
        QTest::mouseClick(host.overlay().skipButton(), Qt::LeftButton);
        EXPECT_FALSE(host.isTourShown());
        EXPECT_EQ(defaults.string("hasSeenWelcomeTour"), "true");
    }
    auto window = launch(defaults, QSize(900, 600));
    views::TourHost& host = window->tourHost();
    EXPECT_FALSE(host.isTourShown());

    // "Welcome Tour" while a run is busy changes nothing.
    model_->setCurrentState(Kind::training);
    ASSERT_TRUE(model_->isBusy());
    views::ApplicationNotifier::instance().postStartWelcomeTour();
    EXPECT_FALSE(host.isTourShown());
    EXPECT_EQ(defaults.string("hasSeenWelcomeTour"), "true");

    // When idle it starts over on a brand-new sample.
    model_->setCurrentState(Kind::completed);
    ASSERT_FALSE(model_->isBusy());
    PipelineViewModel* previous = &host.tour().mockVM();
    views::ApplicationNotifier::instance().postStartWelcomeTour();
    EXPECT_TRUE(host.isTourShown());
    EXPECT_EQ(defaults.string("hasSeenWelcomeTour"), "false");
    EXPECT_NE(&host.tour().mockVM(), previous);
    EXPECT_EQ(host.tour().currentTourStep(), Step::introduction);
    EXPECT_EQ(window->commands().focusedModel(), nullptr);
    ASSERT_NE(host.sampleDashboard(), nullptr);
    EXPECT_EQ(&host.sampleDashboard()->model(), &host.tour().mockVM());

    // Chosen again during the tour, it restarts from the first card.
    pressReturn(*window);
    ASSERT_EQ(host.tour().currentTourStep(), Step::main_progress_bar);
    views::ApplicationNotifier::instance().postStartWelcomeTour();
    EXPECT_EQ(host.tour().currentTourStep(), Step::introduction);
    EXPECT_TRUE(host.isTourShown());
}

// What assistive technologies can reach, walking down from the window.
void collectReachable(QAccessibleInterface* node, std::set<QObject*>& reached) {
    if (!node || !node->isValid()) return;
    reached.insert(node->object());
    for (int index = 0; index < node->childCount(); ++index) collectReachable(node->child(index), reached);
}

// Under the tour the real dashboard is on screen but hidden from assistive
// technologies, its content out of their reach; the sample dashboard the
// tour speaks of is not. Once the tour ends it is back.
TEST_F(TourHostTest, TheDashboardUnderTheTourIsHiddenFromAccessibility) {
    core::InMemoryPreferenceStore defaults;
    auto window = launch(defaults, QSize(900, 600));
    views::TourHost& host = window->tourHost();
    ASSERT_TRUE(host.isTourShown());
    views::MainDashboardView& real = host.dashboard();
    ASSERT_TRUE(real.isVisible());
    QAccessibleInterface* hidden = QAccessible::queryAccessibleInterface(&real);
    ASSERT_NE(hidden, nullptr);
    EXPECT_TRUE(hidden->state().invisible);
    EXPECT_EQ(hidden->childCount(), 0);
    QAccessibleInterface* sample = QAccessible::queryAccessibleInterface(host.sampleDashboard());
    EXPECT_FALSE(sample->state().invisible);
    EXPECT_GT(sample->childCount(), 0);
    std::set<QObject*> reached;
    collectReachable(QAccessible::queryAccessibleInterface(window.get()), reached);
    EXPECT_TRUE(reached.count(host.sampleDashboard()->logButton()));
    EXPECT_TRUE(reached.count(host.overlay().mainButton()));
    EXPECT_FALSE(reached.count(real.logButton()));
    EXPECT_FALSE(reached.count(static_cast<QObject*>(real.menuPanel())));

    QTest::mouseClick(host.overlay().skipButton(), Qt::LeftButton);
    ASSERT_FALSE(host.isTourShown());
    QAccessibleInterface* shown = QAccessible::queryAccessibleInterface(&real);
    EXPECT_FALSE(shown->state().invisible);
    EXPECT_GT(shown->childCount(), 0);
    reached.clear();
    collectReachable(QAccessible::queryAccessibleInterface(window.get()), reached);
    EXPECT_TRUE(reached.count(real.logButton()));
}

TEST_F(TourHostTest, TheSpotlightFollowsItsControlAsTheWindowResizes) {
    core::InMemoryPreferenceStore defaults;
    auto window = launch(defaults, QSize(1440, 900));
    views::TourHost& host = window->tourHost();
    pressReturn(*window);
    ASSERT_EQ(host.tour().currentTourStep(), Step::main_progress_bar);
    settle(host);
    QWidget* bar = host.sampleDashboard()->stepMarkers();
    auto barHole = [&] {
        return QRectF(QPointF(bar->mapTo(&host, QPoint(0, 0))), QSizeF(bar->size())).adjusted(-12, -12, 12, 12);
    };
    ASSERT_TRUE(host.overlay().hole());
    EXPECT_EQ(*host.overlay().hole(), barHole());
    const QRectF before = *host.overlay().hole();

    window->resize(900, 600);
    ASSERT_TRUE(QTest::qWaitFor([&] { return host.overlay().hole() && *host.overlay().hole() != before; }, 30000));
    settle(host);
    EXPECT_EQ(*host.overlay().hole(), barHole());
    // The card stays above the bar and inside the window.
    const QRectF card(host.overlay().card()->geometry());
    EXPECT_LT(card.bottom(), host.overlay().hole()->top() + 1);
    EXPECT_TRUE(QRectF(host.rect()).contains(card));
    // Spotlights come from the sample dashboard only.
    EXPECT_EQ(host.overlay().spotlights().at(Step::main_progress_bar),
              QRectF(QPointF(bar->mapTo(&host, QPoint(0, 0))), QSizeF(bar->size())));
    EXPECT_NE(host.dashboard().stepMarkers(), bar);
}

}  // namespace
}  // namespace tessaron::testing
