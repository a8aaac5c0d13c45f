// The dashboard as a user drives it: the panel's width, drag and collapse,
// the step that follows the run, the status pill and its Cancel, the banner.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>

#include "ViewsTestSupport.hpp"
#include "core/PreferenceStore.hpp"
#include "PanelTestSupport.hpp"
#include "views/FinalPanelView.hpp"
#include "views/FloatingPanel.hpp"
#include "views/LogConsoleView.hpp"
#include "views/LogDrawerView.hpp"
#include "views/ResourcesPanelView.hpp"
#include "views/MainDashboardView.hpp"
#include "views/StatusPillView.hpp"
#include "views/StepBackgroundView.hpp"
#include "views/StepMarkersView.hpp"
#include "views/StepMenuView.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::testing {
namespace {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;

using viewmodel::PipelineViewModel;
using viewmodel::WorkflowStep;
using views::MainDashboardView;
using Kind = pipeline::PipelineState::Kind;
using pipeline::PipelineState;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

// Each table runs in one test: every test case here is a process of its
// own with a QApplication, and these need no window.
TEST(StoredMenuWidth, IsReadWithinTheLimits) {
    const std::vector<std::pair<std::optional<std::string>, double>> table{
        {std::nullopt, 430}, {"430", 430},  {"512.5", 512.5}, {"360", 360},  {"560", 560},
        {"359.9", 360},      {"100", 360},  {"-1e308", 360},  {"9000", 560}, {"nan", 430},
        {"inf", 430},        {"-inf", 430}, {"", 430},        {"wide", 430}, {"500px", 430}};
    for (const auto& [stored, expected] : table)
        EXPECT_EQ(MainDashboardView::menuWidthFromStored(stored), expected) << stored.value_or("(absent)");
}

TEST(StatusText, MatchesTheState) {
    struct Case {
        PipelineState state;
        qint64 materialized, total, iteration;
        const char* text;
    };
    const std::vector<Case> table{
        {Kind::extractingFrames, 0, 0, 0, "Extracting frames..."},
        {Kind::processingSfM, 0, 0, 0, "Running COLMAP SfM..."},
        {Kind::preparingData, 0, 0, 0, "Planning partition..."},
        {Kind::awaitingPartitionApproval, 0, 0, 0, "Partition plan ready \u2014 awaiting approval"},
        {Kind::materializingCells, 0, 0, 0, "Partitioning cells\u2026"},
        {Kind::materializingCells, 3, 12, 0, "Partitioning cells\u2026 (3/12)"},
        {Kind::materializingCells, 0, 1, 0, "Partitioning cells\u2026 (0/1)"},
        {Kind::training, 0, 0, 1500, "Training (iter 1500)..."},
        {Kind::training, 0, 0, 1234567, "Training (iter 1234567)..."},
        {Kind::exporting, 0, 0, 0, "Exporting PLY..."},
        {Kind::idle, 0, 0, 0, ""},
        {Kind::completed, 0, 0, 0, ""},
        {PipelineState::error("boom"), 0, 0, 0, ""},
    };
    for (const auto& c : table)
        EXPECT_EQ(views::StatusPillView::statusText(c.state, c.materialized, c.total, c.iteration).toStdString(), c.text)
            << pipeline::toString(c.state);
}

class DashboardTest : public ::testing::Test {
protected:
    void SetUp() override { build(); }

    void build(bool publishes = true) {
        dashboard_.reset();
        dashboard_ = std::make_unique<MainDashboardView>(*model_, defaults_, publishes, operations());
        dashboard_->resize(1200, 800);
        dashboard_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dashboard_.get()));
    }

    views::ModelOperations operations() {
        views::ModelOperations operations = views::ModelOperations::standard();
        operations.cancelRun = [this](PipelineViewModel& model) {
            ++cancelCalls_;
            model.cancelRun();
        };
        return operations;
    }

    // Presses on the resize handle, moves the pointer by `dx` in steps and
    // releases; the pointer's path is fixed on the screen while the handle
    // follows the panel's edge.
    void dragHandle(int dx) {
        QWidget* handle = dashboard_->resizeHandle();
        const QPointF local(handle->width() / 2.0, handle->height() / 2.0);
        const QPointF pressed = handle->mapToGlobal(local);
        QTest::mousePress(handle, Qt::LeftButton, {}, local.toPoint());
        const int steps = 5;
        for (int step = 1; step <= steps; ++step) {
            QPointF global = pressed + QPointF(double(dx) * step / steps, 0);
            QMouseEvent move(QEvent::MouseMove, handle->mapFromGlobal(global), global, Qt::NoButton, Qt::LeftButton,
                             Qt::NoModifier);
            QApplication::sendEvent(handle, &move);
        }
        QPointF end = pressed + QPointF(dx, 0);
        QMouseEvent release(QEvent::MouseButtonRelease, handle->mapFromGlobal(end), end, Qt::LeftButton, Qt::NoButton,
                            Qt::NoModifier);
        QApplication::sendEvent(handle, &release);
    }

    double storedWidth() const { return std::stod(defaults_.string(MainDashboardView::menuWidthKey).value()); }

    TempDir support_{"tessaron-views"};
    std::unique_ptr<PipelineViewModel> model_ = makeViewModel(support_);
    core::InMemoryPreferenceStore defaults_;
    int cancelCalls_ = 0;
    std::unique_ptr<MainDashboardView> dashboard_;
};

TEST_F(DashboardTest, FirstLaunchShowsThePanel430WideAtItsPlace) {
    EXPECT_EQ(dashboard_->menuPanel()->geometry(), QRect(24, 92, 430, 800 - 92 - 96));
    EXPECT_EQ(dashboard_->selectedStep(), WorkflowStep::input);
    EXPECT_EQ(dashboard_->stepMenu()->step(), WorkflowStep::input);
    EXPECT_TRUE(dashboard_->resourcesPanel()->isVisible());
    EXPECT_TRUE(dashboard_->logButton()->isVisible());
    EXPECT_FALSE(dashboard_->statusPill()->isVisible());
    EXPECT_FALSE(dashboard_->updateBanner()->isVisible());
    EXPECT_FALSE(dashboard_->logDrawer()->isVisible());
    EXPECT_FALSE(dashboard_->showButton()->isVisible());
    EXPECT_EQ(dashboard_->hideButton()->toolTip(), QStringLiteral("Hide panel"));
}

TEST_F(DashboardTest, DraggingTheHandleResizesWithinTheLimitsAndPersists) {
    dragHandle(500);
    EXPECT_EQ(dashboard_->menuWidth(), 560);
    EXPECT_EQ(dashboard_->menuPanel()->width(), 560);
    EXPECT_EQ(storedWidth(), 560);

    defaults_.setString(MainDashboardView::menuWidthKey, "430");
    build();
    dragHandle(-200);
    EXPECT_EQ(dashboard_->menuWidth(), 360);
    // The next launch shows what the drag left.
    build();
    EXPECT_EQ(dashboard_->menuPanel()->width(), 360);
}

TEST_F(DashboardTest, EachDragMeasuresFromItsOwnStart) {
    dragHandle(40);
    dragHandle(30);
    EXPECT_EQ(dashboard_->menuWidth(), 500);
    dragHandle(-20);
    EXPECT_EQ(storedWidth(), 480);
}

TEST_F(DashboardTest, CollapsingSlidesThePanelOutAndTheShowButtonBringsItBack) {
    dragHandle(50);  // 480 wide
    QTest::mouseClick(dashboard_->hideButton(), Qt::LeftButton);
    EXPECT_TRUE(dashboard_->isMenuCollapsed());
    ASSERT_TRUE(QTest::qWaitFor([&] { return dashboard_->menuPanel()->x() == 24 - (480 + 48); }, 30000));
    EXPECT_TRUE(dashboard_->menuPanel()->testAttribute(Qt::WA_TransparentForMouseEvents));
    ASSERT_TRUE(dashboard_->showButton()->isVisible());
    EXPECT_EQ(dashboard_->showButton()->x(), 8);
    EXPECT_EQ(dashboard_->showButton()->toolTip(), QStringLiteral("Show panel"));

    QTest::mouseClick(dashboard_->showButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dashboard_->menuPanel()->x() == 24; }, 30000));
    EXPECT_FALSE(dashboard_->showButton()->isVisible());
    EXPECT_FALSE(dashboard_->menuPanel()->testAttribute(Qt::WA_TransparentForMouseEvents));
    EXPECT_EQ(dashboard_->menuPanel()->width(), 480);
}

TEST_F(DashboardTest, TheSelectedStepFollowsEveryStateChange) {
    const std::vector<std::pair<PipelineState, WorkflowStep>> table{
        {Kind::extractingFrames, WorkflowStep::input},       {Kind::processingSfM, WorkflowStep::sfm},
        {Kind::preparingData, WorkflowStep::planning},       {Kind::awaitingPartitionApproval, WorkflowStep::planning},
        {Kind::materializingCells, WorkflowStep::planning},  {Kind::training, WorkflowStep::training},
        {Kind::exporting, WorkflowStep::final},              {Kind::completed, WorkflowStep::final},
        {PipelineState::error("x"), WorkflowStep::final},    {Kind::extractingFrames, WorkflowStep::input},
    };
    for (const auto& [state, step] : table) {
        model_->setCurrentState(state);
        EXPECT_EQ(dashboard_->selectedStep(), step) << pipeline::toString(state);
    }
    model_->setCurrentState(PipelineState::error("y"));
    model_->setCurrentState(Kind::idle);
    EXPECT_EQ(dashboard_->selectedStep(), WorkflowStep::final);
}

TEST_F(DashboardTest, AClickOnAStepStandsUntilTheNextStateChange) {
    model_->setCurrentState(Kind::awaitingPartitionApproval);
    EXPECT_EQ(dashboard_->stepMenu()->step(), WorkflowStep::planning);
    auto* markers = dashboard_->stepMarkers();
    QTest::mouseClick(markers, Qt::LeftButton, {}, markers->markerRect(WorkflowStep::final).center());
    EXPECT_EQ(dashboard_->selectedStep(), WorkflowStep::final);
    EXPECT_EQ(dashboard_->stepMenu()->step(), WorkflowStep::final);
    QTest::mouseClick(markers, Qt::LeftButton, {}, markers->markerRect(WorkflowStep::sfm).center());
    EXPECT_EQ(dashboard_->selectedStep(), WorkflowStep::sfm);
    model_->setCurrentState(Kind::materializingCells);
    EXPECT_EQ(dashboard_->selectedStep(), WorkflowStep::planning);
}

TEST_F(DashboardTest, StatusPillShowsWhileBusyAndItsCancelStopsTheRun) {
    model_->setMaterializationTotalCells(12);
    model_->setMaterializedCellCount(3);
    model_->setCurrentState(Kind::materializingCells);
    ASSERT_TRUE(dashboard_->statusPill()->isVisible());
    EXPECT_EQ(dashboard_->statusPill()->textLabel()->text(), QStringLiteral("Partitioning cells\u2026 (3/12)"));
    EXPECT_EQ(dashboard_->statusPill()->y() + dashboard_->statusPill()->height(), 800 - 84);

    startChildOperation(*model_, politeChild);
    QTest::mouseClick(dashboard_->statusPill()->cancelButton(), Qt::LeftButton);
    EXPECT_EQ(cancelCalls_, 1);
    EXPECT_EQ(dashboard_->statusPill()->cancelButton()->text(), QStringLiteral("Cancelling\u2026"));
    EXPECT_FALSE(dashboard_->statusPill()->cancelButton()->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->isBusy(); }, 30000));
    // The pill stays to say what became of the run, without a button, until
    // a reset.
    ASSERT_TRUE(dashboard_->statusPill()->isVisible());
    EXPECT_EQ(dashboard_->statusPill()->textLabel()->text(), QStringLiteral("Run cancelled at Preparing cells."));
    EXPECT_FALSE(dashboard_->statusPill()->cancelButton()->isVisibleTo(dashboard_->statusPill()));
    model_->resetRunState();
    EXPECT_FALSE(dashboard_->statusPill()->isVisible());
}

TEST_F(DashboardTest, BusyWithoutAWorkingStateShowsAnEmptyPillWithCancel) {
    model_->setHasActiveOperation(true);
    model_->setCurrentState(Kind::completed);
    ASSERT_TRUE(dashboard_->statusPill()->isVisible());
    EXPECT_TRUE(dashboard_->statusPill()->textLabel()->text().isEmpty());
    EXPECT_TRUE(dashboard_->statusPill()->cancelButton()->isEnabled());
    model_->setIteration(1500);
    model_->setCurrentState(Kind::training);
    EXPECT_EQ(dashboard_->statusPill()->textLabel()->text(), QStringLiteral("Training (iter 1500)..."));
    model_->setHasActiveOperation(false);
}

TEST_F(DashboardTest, TheLogButtonTogglesTheDrawer) {
    QTest::mouseClick(dashboard_->logButton(), Qt::LeftButton);
    EXPECT_TRUE(model_->isLogMenuExpanded());
    ASSERT_TRUE(dashboard_->logDrawer()->isVisible());
    // 400 wide at the trailing edge, centred in the band between the top and the step bar.
    const QRect drawer = dashboard_->logDrawer()->geometry();
    EXPECT_EQ(drawer.x(), 1200 - 24 - 400);
    EXPECT_EQ(drawer.width(), 400);
    EXPECT_GE(drawer.top(), 92);
    EXPECT_LE(drawer.bottom(), 800 - 96);
    EXPECT_LE(std::abs((drawer.top() - 92) - (800 - 96 - 1 - drawer.bottom())), 1);
    QTest::mouseClick(dashboard_->logButton(), Qt::LeftButton);
    EXPECT_FALSE(model_->isLogMenuExpanded());
    EXPECT_FALSE(dashboard_->logDrawer()->isVisible());
}

TEST_F(DashboardTest, TheBannerOffersTheReleaseUntilLater) {
    std::vector<QUrl> opened;
    dashboard_->setLinkOpener([&](const QUrl& url) { opened.push_back(url); });
    QSignalSpy later(dashboard_.get(), &MainDashboardView::laterRequested);
    const QUrl download("https://updates.tessaron.example/t.tar.gz");
    dashboard_->setUpdateOffer(views::UpdateOffer{"1.4.0", 57, download, std::nullopt});
    auto* banner = dashboard_->updateBanner();
    ASSERT_TRUE(banner->isVisible());
    EXPECT_EQ(banner->messageLabel()->text(), QStringLiteral("Tessaron 1.4.0 (build 57) is available"));
    EXPECT_FALSE(banner->notesButton()->isVisible());
    QTest::mouseClick(banner->downloadButton(), Qt::LeftButton);
    EXPECT_EQ(opened, std::vector<QUrl>{download});
    EXPECT_TRUE(banner->isVisible());

    const QUrl notes("https://updates.tessaron.example/notes");
    dashboard_->setUpdateOffer(views::UpdateOffer{"1.5", 60, download, notes});
    ASSERT_TRUE(banner->notesButton()->isVisible());
    QTest::mouseClick(banner->notesButton(), Qt::LeftButton);
    EXPECT_EQ(opened.back(), notes);
    QTest::mouseClick(banner->laterButton(), Qt::LeftButton);
    EXPECT_EQ(later.count(), 1);
    dashboard_->setUpdateOffer(std::nullopt);
    EXPECT_FALSE(banner->isVisible());
}

// The version comes from the feed: a link in it stays text, and 60,000
// characters of it do not push the banner's buttons off the window.
TEST_F(DashboardTest, TheBannerShowsTheFeedsVersionAsShortPlainText) {
    const QString version = QStringLiteral("<a href=\"https://elsewhere.example/\">1.4</a>") + QString(60000, u'9');
    dashboard_->setUpdateOffer(views::UpdateOffer{version, 57, QUrl("https://updates.tessaron.example/t"), std::nullopt});
    auto* banner = dashboard_->updateBanner();
    ASSERT_TRUE(banner->isVisible());
    EXPECT_EQ(banner->messageLabel()->textFormat(), Qt::PlainText);
    EXPECT_EQ(banner->messageLabel()->text(), QStringLiteral("Tessaron <a href=\"https://elsewhere.exam") + QChar(0x2026) +
                                                  QStringLiteral(" (build 57) is available"));
    EXPECT_TRUE(dashboard_->rect().contains(banner->geometry())) << banner->geometry().width();
    EXPECT_TRUE(banner->rect().contains(banner->laterButton()->geometry()));
}

TEST_F(DashboardTest, OnlyAPublishingDashboardOfARealModelReachesTheMenus) {
    EXPECT_EQ(dashboard_->publishedModel(), model_.get());
    QSignalSpy changed(dashboard_.get(), &MainDashboardView::publishedModelChanged);
    model_->setIsTourSample(true);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(dashboard_->publishedModel(), nullptr);
    model_->setIsTourSample(false);
    build(/*publishes=*/false);
    EXPECT_EQ(dashboard_->publishedModel(), nullptr);
}

TEST_F(DashboardTest, TheInspectorCoversTheWindowWhileAskedFor) {
    model_->setShow360Inspector(true);
    ASSERT_TRUE(dashboard_->inspector()->isVisible());
    EXPECT_EQ(dashboard_->inspector()->geometry(), dashboard_->rect());
    model_->setShow360Inspector(false);
    EXPECT_FALSE(dashboard_->inspector()->isVisible());
}


// A training run cancelled with the pill's button: the window keeps saying
// where it stopped, with the run's log, until "Start New Pipeline".
TEST_F(DashboardTest, AfterACancelThePillTheStepBarAndTheDrawerTellWhereTheRunStopped) {
    model_->setIsLogMenuExpanded(true);
    model_->setHasActiveOperation(true);
    ModelAccess::runTrackedOperation(*model_, [manager = model_->pipelineManager()](std::stop_token stopToken) {
        ManagerAccess::callbacks(*manager)->onStateChange(PipelineState(Kind::training));
        ManagerAccess::log(*manager, pipeline::PipelineLogStep::training, "[trevik] step 1500");
        std::mutex lock;
        std::condition_variable_any stopped;
        std::unique_lock hold(lock);
        stopped.wait(hold, stopToken, [] { return false; });
        ManagerAccess::checkCancelled(*manager, pipeline::PipelineLogStep::training);
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return model_->currentState().kind == Kind::training; }, 30000));
    QTest::mouseClick(dashboard_->statusPill()->cancelButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->hasActiveOperation(); }, 30000));

    EXPECT_EQ(dashboard_->selectedStep(), WorkflowStep::training);
    ASSERT_TRUE(dashboard_->statusPill()->isVisible());
    EXPECT_EQ(dashboard_->statusPill()->textLabel()->text(), QStringLiteral("Run cancelled at Training."));
    views::StepMarkersView* markers = dashboard_->stepMarkers();
    for (WorkflowStep step : {WorkflowStep::input, WorkflowStep::sfm, WorkflowStep::planning})
        EXPECT_EQ(markers->shownSymbol(step), views::Symbol::checkmark) << viewmodel::toString(step);
    EXPECT_NE(markers->shownSymbol(WorkflowStep::final), views::Symbol::checkmark);
    EXPECT_EQ(dashboard_->logDrawer()->console()->toPlainText().split('\n', Qt::SkipEmptyParts),
              (QStringList{"[trevik] step 1500", "Pipeline cancelled."}));

    // The Final step waits for nothing: it says how the run ended.
    dashboard_->selectStep(WorkflowStep::final);
    EXPECT_EQ(dashboard_->centrePane()->message(),
              QStringLiteral("Run cancelled at Training.\nDrop a .ply / .spz / .splat anywhere to view a model."));
    auto* finalPanel = dynamic_cast<views::FinalPanelView*>(dashboard_->stepMenu()->panel());
    ASSERT_NE(finalPanel, nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(visibleTexts(finalPanel->outcomeSection()),
              (QStringList{"Pipeline cancelled", "Run cancelled at Training.", "Start New Pipeline"}));

    click(visibleButton(finalPanel->outcomeSection(), "Start New Pipeline"));
    EXPECT_FALSE(dashboard_->statusPill()->isVisible());
    EXPECT_EQ(dashboard_->logDrawer()->console()->toPlainText(), QStringLiteral("Ready."));
    EXPECT_NE(markers->shownSymbol(WorkflowStep::input), views::Symbol::checkmark);
}

}  // namespace
}  // namespace tessaron::testing
