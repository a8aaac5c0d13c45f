// The menu bar as a user meets it: titles, order and shortcuts, the items
// acting on the focused model only, and the shortcuts pressed on the window.
#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QSignalSpy>
#include <QTest>

#include <vector>

#include "ViewsTestSupport.hpp"
#include "core/PreferenceStore.hpp"
#include "views/LogDrawerView.hpp"
#include "views/ApplicationNotifier.hpp"
#include "views/MainDashboardView.hpp"
#include "views/MainWindow.hpp"
#include "views/StepMenuView.hpp"
#include "views/TessaronCommands.hpp"
#include "viewmodel/ScriptedDialogs.hpp"
#include "views/InputView.hpp"
#include "views/ResumePanel.hpp"

namespace tessaron::testing {
namespace {

using viewmodel::PipelineViewModel;
using views::TessaronCommands;
using Kind = pipeline::PipelineState::Kind;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

// Every operation and action records what it reached.
struct Recorder {
    std::vector<std::pair<std::string, PipelineViewModel*>> calls;

    views::ModelOperations operations() {
        views::ModelOperations operations;
        auto record = [this](std::string name) {
            return [this, name](PipelineViewModel& model) { calls.emplace_back(name, &model); };
        };
        operations.startNewRun = record("startNewRun");
        operations.startRemerge = record("startRemerge");
        operations.selectResumeWorkspace = record("selectResumeWorkspace");
        operations.cancelRun = record("cancelRun");
        return operations;
    }
    views::ApplicationActions actions() {
        auto record = [this](std::string name) { return [this, name] { calls.emplace_back(name, nullptr); }; };
        return {record("sendFeedback"), record("checkForUpdates"), record("showAcknowledgements"),
                record("showSettings"), record("quit")};
    }
    std::vector<std::string> names() const {
        std::vector<std::string> result;
        for (const auto& call : calls) result.push_back(call.first);
        return result;
    }
};

// "title|shortcut" per item, "-" for a divider.
std::vector<std::string> describe(QMenu* menu) {
    std::vector<std::string> items;
    for (QAction* action : menu->actions()) {
        if (action->isSeparator()) {
            items.push_back("-");
            continue;
        }
        std::string item = action->text().toStdString();
        if (!action->shortcut().isEmpty())
            item += "|" + action->shortcut().toString(QKeySequence::PortableText).toStdString();
        items.push_back(item);
    }
    return items;
}

QAction* findAction(QMenu* menu, const QString& title) {
    for (QAction* action : menu->actions())
        if (action->text() == title) return action;
    ADD_FAILURE() << "no item " << title.toStdString();
    return nullptr;
}

class CommandsTest : public ::testing::Test {
protected:
    TempDir support_{"tessaron-views"};
    std::unique_ptr<PipelineViewModel> model_ = makeViewModel(support_);
    Recorder recorder_;
    QMenuBar menuBar_;
    TessaronCommands commands_{menuBar_, recorder_.operations(), recorder_.actions()};
};

TEST_F(CommandsTest, MenusHaveTheTitlesOrderAndShortcutsOfTheTable) {
    std::vector<std::string> menus;
    for (QAction* action : menuBar_.actions()) menus.push_back(action->text().toStdString());
    EXPECT_EQ(menus, (std::vector<std::string>{"&File", "&Engine", "&Window", "&Help"}));
    EXPECT_EQ(describe(commands_.fileMenu()),
              (std::vector<std::string>{"Start New Pipeline...|Ctrl+Shift+N", "Open Model in Viewer...|Ctrl+O", "-",
                                        "Re-merge Existing Cells...", "Resume Interrupted Training...", "-",
                                        "Settings…|Ctrl+,", "-", "Quit|Ctrl+Q"}));
    EXPECT_EQ(describe(commands_.engineMenu()),
              (std::vector<std::string>{"Full Diagnostics", "Cancel Pipeline|Ctrl+."}));
    EXPECT_EQ(describe(commands_.windowMenu()), (std::vector<std::string>{"Toggle Log Drawer|Ctrl+Shift+L"}));
    EXPECT_EQ(describe(commands_.helpMenu()),
              (std::vector<std::string>{"Send Feedback…", "Check for Updates…", "Welcome Tour", "-", "Acknowledgements"}));
    EXPECT_TRUE(commands_.fullDiagnosticsAction()->isCheckable());
}

TEST_F(CommandsTest, WithoutAFocusedModelTheModelItemsDoNothing) {
    EXPECT_FALSE(commands_.cancelPipelineAction()->isEnabled());
    EXPECT_TRUE(commands_.welcomeTourAction()->isEnabled());
    for (QMenu* menu : {commands_.fileMenu(), commands_.windowMenu()})
        for (QAction* action : menu->actions()) {
            if (action->isSeparator()) continue;
            EXPECT_TRUE(action->isEnabled()) << action->text().toStdString();
        }
    for (const char* title : {"Start New Pipeline...", "Re-merge Existing Cells...", "Resume Interrupted Training..."})
        findAction(commands_.fileMenu(), QString::fromUtf8(title))->trigger();
    findAction(commands_.windowMenu(), QStringLiteral("Toggle Log Drawer"))->trigger();
    commands_.fullDiagnosticsAction()->trigger();
    EXPECT_TRUE(recorder_.calls.empty());
    EXPECT_FALSE(commands_.fullDiagnosticsAction()->isChecked());
    EXPECT_FALSE(model_->isLogMenuExpanded());
}

TEST_F(CommandsTest, ModelItemsReachTheFocusedModel) {
    commands_.setFocusedModel(model_.get());
    for (const char* title : {"Start New Pipeline...", "Re-merge Existing Cells...", "Resume Interrupted Training..."})
        findAction(commands_.fileMenu(), QString::fromUtf8(title))->trigger();
    EXPECT_EQ(recorder_.names(), (std::vector<std::string>{"startNewRun", "startRemerge", "selectResumeWorkspace"}));
    for (const auto& call : recorder_.calls) EXPECT_EQ(call.second, model_.get());

    commands_.fullDiagnosticsAction()->trigger();
    EXPECT_TRUE(model_->diagnosticsEnabled());
    model_->setDiagnosticsEnabled(false);
    EXPECT_FALSE(commands_.fullDiagnosticsAction()->isChecked());

    findAction(commands_.windowMenu(), QStringLiteral("Toggle Log Drawer"))->trigger();
    EXPECT_TRUE(model_->isLogMenuExpanded());
}

TEST_F(CommandsTest, BusyModelEnablesCancelAndDisablesTheTour) {
    commands_.setFocusedModel(model_.get());
    model_->setCurrentState(Kind::training);
    EXPECT_TRUE(commands_.cancelPipelineAction()->isEnabled());
    EXPECT_FALSE(commands_.welcomeTourAction()->isEnabled());
    commands_.cancelPipelineAction()->trigger();
    EXPECT_EQ(recorder_.names(), std::vector<std::string>{"cancelRun"});

    model_->setCurrentState(Kind::completed);
    EXPECT_FALSE(commands_.cancelPipelineAction()->isEnabled());
    EXPECT_TRUE(commands_.welcomeTourAction()->isEnabled());
    // The focused model going away leaves the items as with none.
    model_->setCurrentState(Kind::training);
    model_.reset();
    commands_.refresh();
    EXPECT_FALSE(commands_.cancelPipelineAction()->isEnabled());
}

TEST_F(CommandsTest, NotificationsAndHelpItemsNeedNoModel) {
    QSignalSpy openViewer(&views::ApplicationNotifier::instance(), &views::ApplicationNotifier::openModelViewer);
    QSignalSpy tour(&views::ApplicationNotifier::instance(), &views::ApplicationNotifier::startWelcomeTour);
    findAction(commands_.fileMenu(), QStringLiteral("Open Model in Viewer..."))->trigger();
    commands_.welcomeTourAction()->trigger();
    for (const char* title : {"Send Feedback…", "Check for Updates…", "Acknowledgements"})
        findAction(commands_.helpMenu(), QString::fromUtf8(title))->trigger();
    findAction(commands_.fileMenu(), QStringLiteral("Settings…"))->trigger();
    findAction(commands_.fileMenu(), QStringLiteral("Quit"))->trigger();
    EXPECT_EQ(openViewer.count(), 1);
    EXPECT_EQ(tour.count(), 1);
    EXPECT_EQ(recorder_.names(), (std::vector<std::string>{"sendFeedback", "checkForUpdates", "showAcknowledgements",
                                                           "showSettings", "quit"}));
}

// The shortcuts pressed on the real window, with the application's own
// operations: Ctrl+. stops a running engine child.
class WindowShortcutsTest : public ::testing::Test {
protected:
    void SetUp() override {
        window_.resize(1000, 700);
        window_.show();
        window_.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window_));
    }

    TempDir support_{"tessaron-views"};
    std::unique_ptr<PipelineViewModel> model_ = makeViewModel(support_);
    // The window after the welcome tour.
    struct SeenTourDefaults : core::InMemoryPreferenceStore {
        SeenTourDefaults() { setString("hasSeenWelcomeTour", "true"); }
    } defaults_;
    Recorder recorder_;
    views::MainWindow window_{*model_, defaults_, views::ModelOperations::standard(), recorder_.actions()};
};

TEST_F(WindowShortcutsTest, ControlPeriodCancelsTheRunningOperation) {
    startChildOperation(*model_, politeChild);
    model_->setCurrentState(Kind::processingSfM);
    QTest::keyClick(&window_, Qt::Key_Period, Qt::ControlModifier);
    EXPECT_TRUE(model_->isCancelling());
    // The child ends on SIGTERM, the operation completes, the state is idle.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->hasActiveOperation(); }, 30000));
    EXPECT_FALSE(model_->pipelineManager()->isProcessRunning());
    EXPECT_FALSE(model_->isCancelling());
    EXPECT_EQ(model_->currentState().kind, Kind::idle);
}

TEST_F(WindowShortcutsTest, ControlPeriodWhileIdleChangesNothing) {
    model_->setCurrentState(Kind::completed);
    QTest::keyClick(&window_, Qt::Key_Period, Qt::ControlModifier);
    EXPECT_EQ(model_->currentState().kind, Kind::completed);
    EXPECT_FALSE(model_->isCancelling());
}

TEST_F(WindowShortcutsTest, KeyboardReachesTheLogDrawerTheViewerAndQuit) {
    QSignalSpy openViewer(&views::ApplicationNotifier::instance(), &views::ApplicationNotifier::openModelViewer);
    QTest::keyClick(&window_, Qt::Key_L, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(model_->isLogMenuExpanded());
    EXPECT_TRUE(window_.dashboard().logDrawer()->isVisible());
    model_->setCurrentState(Kind::training);
    // During a run, from the Training step, Ctrl+O opens the model importer.
    int importerCalls = 0;
    window_.dashboard().stepMenu()->setModelImporter([&](QWidget*) -> std::optional<QUrl> {
        ++importerCalls;
        return std::nullopt;
    });
    QTest::keyClick(&window_, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(openViewer.count(), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return importerCalls == 1; }, 30000));
    EXPECT_EQ(window_.dashboard().selectedStep(), viewmodel::WorkflowStep::training);
    QTest::keyClick(&window_, Qt::Key_Q, Qt::ControlModifier);
    QTest::keyClick(&window_, Qt::Key_Comma, Qt::ControlModifier);
    EXPECT_EQ(recorder_.names(), (std::vector<std::string>{"quit", "showSettings"}));
}

TEST_F(WindowShortcutsTest, ClosingTheWindowAsksTheQuitGuardAndKeepsItOpen) {
    QSignalSpy closeRequested(&window_, &views::MainWindow::closeRequested);
    EXPECT_FALSE(window_.close());
    EXPECT_EQ(closeRequested.count(), 1);
    EXPECT_TRUE(window_.isVisible());
    EXPECT_EQ(window_.windowTitle(), QStringLiteral("Tessaron"));
    EXPECT_EQ(window_.minimumSize(), QSize(900, 600));
}

// An interrupted workspace the scanner takes: the global model, one
// trained cell and one planned cell without a folder.
std::filesystem::path writeInterruptedWorkspace(const std::filesystem::path& folder) {
    namespace fs = std::filesystem;
    auto writeModel = [](const fs::path& sparse) {
        for (const char* name : {"cameras.bin", "images.bin", "points3D.bin"}) writeTextFile(sparse / name, "model");
    };
    const fs::path workspace = folder / "Tessaron_workspace 2026-12-07 101500";
    writeModel(workspace / "colmap" / "sparse" / "0");
    fs::create_directories(workspace / "colmap" / "images");
    writeModel(workspace / "partitions" / "cell_0" / "sparse" / "0");
    writeTextFile(workspace / "partitions" / "partition_plan.json",
                  R"({"cells":[{"id":"cell_0","imageCount":20},{"id":"cell_1","imageCount":20}]})");
    return workspace;
}

// File ▸ Resume Interrupted Training… from another step: the window goes to
// the Input step and scrolls the scan's card, at the foot of a long form,
// into view.
TEST_F(WindowShortcutsTest, ResumeFromTheFileMenuShowsTheScannedCard) {
    TempDir files("tessaron-resume-menu");
    const std::filesystem::path workspace = writeInterruptedWorkspace(files.path());
    auto dialogs = std::make_shared<ScriptedDialogs>();
    model_->setDialogService(dialogs);
    // A chosen input makes the form long; the window shows another step.
    std::filesystem::create_directories(files.path() / "photos");
    model_->setSelectedInputURL(files.path() / "photos");
    views::MainDashboardView& dashboard = window_.dashboard();
    dashboard.selectStep(viewmodel::WorkflowStep::sfm);

    dialogs->answer(workspace);
    findAction(window_.commands().fileMenu(), QStringLiteral("Resume Interrupted Training..."))->trigger();
    ASSERT_TRUE(model_->workspaceScanResult().has_value());
    EXPECT_EQ(dashboard.selectedStep(), viewmodel::WorkflowStep::input);
    auto* form = qobject_cast<views::InputView*>(dashboard.stepMenu()->panel());
    ASSERT_NE(form, nullptr);
    views::ResumePanel* card = form->resumePanel();
    // The whole card within the form's view.
    auto cardInView = [&] {
        if (!card->summary()->isVisible() || form->viewport()->height() <= 0) return false;
        const QRect shown(card->mapTo(form->viewport(), QPoint(0, 0)), card->size());
        return form->viewport()->rect().contains(shown);
    };
    EXPECT_TRUE(QTest::qWaitFor(cardInView, 30000))
        << "card at " << card->mapTo(form->viewport(), QPoint(0, 0)).y() << ", view " << form->viewport()->height();
}

}  // namespace
}  // namespace tessaron::testing
