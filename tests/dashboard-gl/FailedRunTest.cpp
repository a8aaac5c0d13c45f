// A run that fails in each of its steps, as a user meets it in the window:
// the step shown, what the centre pane says, what the Process Logs drawer
// shows once opened; then "Reset & Try Again", which brings the window back
// to the Input step with nothing of the failed run, or of a model opened
// earlier, left on screen.
#include <gtest/gtest.h>

#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include "views/PanelTestSupport.hpp"
#include "views/ViewsTestSupport.hpp"
#include "core/PreferenceStore.hpp"
#include "pipeline/PipelineTestSupport.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"
#include "viewmodel/ScriptedDialogs.hpp"
#include "views/FinalPanelView.hpp"
#include "views/InputView.hpp"
#include "views/LogConsoleView.hpp"
#include "views/LogDrawerView.hpp"
#include "views/MainDashboardView.hpp"
#include "views/ResourcesPanelView.hpp"
#include "views/StepBackgroundView.hpp"
#include "views/StepMenuView.hpp"

namespace tessaron::testing {
namespace {

namespace fs = std::filesystem;
using ManagerAccess = pipeline::PipelineManagerTestAccess;
using ModelAccess = viewmodel::PipelineViewModelTestAccess;
using pipeline::PipelineLogStep;
using pipeline::PipelineState;
using viewmodel::PipelineViewModel;
using viewmodel::WorkflowStep;
using Kind = PipelineState::Kind;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

// One step that fails: the state the driver was in, the log its lines go
// to, the error line and message it reports, and what the centre pane says.
struct FailingStep {
    const char* name;
    Kind state;
    PipelineLogStep log;
    const char* line;
    const char* message;
    const char* centre;
};

void PrintTo(const FailingStep& step, std::ostream* out) { *out << step.name; }

class FailedRunWindow : public ::testing::Test {
protected:
    void SetUp() override {
        model_->setDialogService(dialogs_);
        ModelAccess::setFreeSpaceProbe(*model_, [](const fs::path&) { return std::optional<uint64_t>(uint64_t(1) << 40); });
        fs::create_directories(photos_);
        fs::create_directories(runs_);
        dashboard_ = std::make_unique<views::MainDashboardView>(*model_, defaults_, true);
        dashboard_->resize(1280, 820);
        dashboard_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dashboard_.get()));
    }

    // The driver's stand-in does what the driver does when a stage fails:
    // the stage's lines, then its error line in the same log, then the
    // error state.
    void scriptFailure(const FailingStep& step) {
        PipelineViewModel::DriverCalls calls;
        calls.runPipeline = [manager = model_->pipelineManager(), step](
                                const pipeline::PipelineManager::RunParameters&, std::stop_token) {
            const auto callbacks = ManagerAccess::callbacks(*manager);
            callbacks->onStateChange(PipelineState(step.state));
            ManagerAccess::log(*manager, step.log, "═══ the failing stage ═══");
            ManagerAccess::log(*manager, step.log, step.line);
            callbacks->onStateChange(PipelineState::error(step.message));
        };
        ModelAccess::setDriverCalls(*model_, calls);
    }

    views::InputView& inputForm() const {
        auto* form = qobject_cast<views::InputView*>(dashboard_->stepMenu()->panel());
        EXPECT_NE(form, nullptr);
        return *form;
    }
    views::FinalPanelView* finalPanel() const {
        return dashboard_->stepMenu()->findChild<views::FinalPanelView*>();
    }

    TempDir support_{"views-failed-run"};
    TempDir files_{"views-failed-run-files"};
    fs::path photos_ = files_.path() / "photos";
    fs::path runs_ = files_.path() / "runs";
    std::unique_ptr<PipelineViewModel> model_ = makeViewModel(support_);
    std::shared_ptr<ScriptedDialogs> dialogs_ = std::make_shared<ScriptedDialogs>();
    core::InMemoryPreferenceStore defaults_;
    std::unique_ptr<views::MainDashboardView> dashboard_;
};

class FailedRun : public FailedRunWindow, public ::testing::WithParamInterface<FailingStep> {};

TEST_P(FailedRun, TheWindowSaysWhichStepFailedShowsItsLogAndResetsToTheInputStep) {
    scriptFailure(GetParam());
    // A model looked at before the run, and its figures in the Final panel.
    dashboard_->finalViewer().setUrl(QUrl::fromLocalFile(QString::fromStdString((files_.path() / "old.ply").string())));
    dashboard_->finalViewer().setStats({59.6, 161823, 3.27});
    model_->setEngineRamString(QStringLiteral("1.4 GB"));

    model_->setSelectedInputURL(photos_);
    dialogs_->answer(runs_);
    click(inputForm().startButton());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->hasActiveOperation(); }, 30000));
    ASSERT_EQ(model_->currentState(), PipelineState::error(GetParam().message));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    // The Final step tells what failed, with no model behind it.
    EXPECT_EQ(dashboard_->selectedStep(), WorkflowStep::final);
    views::StepBackgroundView* centre = dashboard_->centrePane();
    EXPECT_EQ(centre->contentKind(), views::StepBackgroundView::Content::message);
    EXPECT_EQ(centre->message().toStdString(), GetParam().centre);
    EXPECT_EQ(centre->viewerView(), nullptr);
    ASSERT_NE(finalPanel(), nullptr);
    EXPECT_EQ(finalPanel()->statisticsBox().text(),
              views::FinalPanelView::statisticsLines({}).join(QLatin1Char('\n')));

    // The drawer, opened with its button, shows the failed step's log and
    // the line that tells why.
    QTest::mouseClick(dashboard_->logButton(), Qt::LeftButton);
    ASSERT_TRUE(dashboard_->logDrawer()->isVisible());
    const QString drawn = dashboard_->logDrawer()->console()->toPlainText();
    EXPECT_TRUE(drawn.contains(QString::fromUtf8(GetParam().line))) << drawn.toStdString();
    EXPECT_TRUE(drawn.contains(QStringLiteral("═══ the failing stage ═══"))) << drawn.toStdString();

    // "Reset & Try Again": the Input step, and nothing of the failed run.
    click(visibleButton(finalPanel()->outcomeSection(), QStringLiteral("Reset & Try Again")));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(model_->currentState().kind, Kind::idle);
    EXPECT_EQ(dashboard_->selectedStep(), WorkflowStep::input);
    EXPECT_NE(qobject_cast<views::InputView*>(dashboard_->stepMenu()->panel()), nullptr);
    EXPECT_EQ(dashboard_->logDrawer()->console()->toPlainText(), QStringLiteral("Ready."));
    EXPECT_EQ(dashboard_->resourcesPanel()->ramText(), model_->ramUsageString());
    EXPECT_TRUE(dashboard_->finalViewer().url().isEmpty());
    // The Final step, visited again, waits for a new run with no figures.
    dashboard_->selectStep(WorkflowStep::final);
    ASSERT_NE(finalPanel(), nullptr);
    EXPECT_EQ(visibleTexts(finalPanel()->outcomeSection()), QStringList{"Waiting for earlier steps to finish…"});
    EXPECT_EQ(finalPanel()->statisticsBox().text(),
              views::FinalPanelView::statisticsLines({}).join(QLatin1Char('\n')));
    EXPECT_EQ(centre->viewerView(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, FailedRun,
    ::testing::Values(
        FailingStep{"FrameExtraction", Kind::extractingFrames, PipelineLogStep::extraction,
                    "Error: the video has no readable frames", "the video has no readable frames",
                    "Frame extraction failed \u2014 see the Process Logs."},
        FailingStep{"COLMAP", Kind::processingSfM, PipelineLogStep::sfm,
                    "COLMAP error: Sparse reconstruction failed (exit 1)", "Sparse reconstruction failed (exit 1)",
                    "Camera poses (COLMAP) failed \u2014 see the Process Logs."},
        FailingStep{"Planning", Kind::preparingData, PipelineLogStep::dataPrep,
                    "Partition planning error: no cameras", "no cameras", "Planning failed \u2014 see the Process Logs."},
        FailingStep{"Cells", Kind::materializingCells, PipelineLogStep::dataPrep,
                    "Partitioning error: disk full", "disk full", "Preparing cells failed \u2014 see the Process Logs."},
        FailingStep{"Training", Kind::training, PipelineLogStep::training, "trevik training failed (exit 1)",
                    "trevik training failed (exit 1)", "Training failed \u2014 see the export panel."},
        FailingStep{"Export", Kind::exporting, PipelineLogStep::export_, "Merge error: cell_2 has no output.ply",
                    "Merge failed: cell_2 has no output.ply", "Merging and export failed \u2014 see the Process Logs."}),
    [](const auto& info) { return std::string(info.param.name); });

// A failure before any step (the workspace could not be scanned) has no
// step log: the drawer shows the message, and the centre pane points to it.
TEST_F(FailedRunWindow, AScanThatFailsBeforeAnyStepShowsItsMessage) {
    dialogs_->answer(files_.path());  // no partitions/ inside
    model_->selectResumeWorkspace();
    ASSERT_EQ(model_->currentState().kind, Kind::error);
    EXPECT_EQ(dashboard_->selectedStep(), WorkflowStep::final);
    EXPECT_EQ(dashboard_->centrePane()->message(),
              QStringLiteral("The run failed before its first step \u2014 see the message in the Final panel."));
    EXPECT_EQ(views::LogDrawerView::logFor(*model_), QString::fromStdString(model_->currentState().message));
    EXPECT_TRUE(views::LogDrawerView::logFor(*model_).startsWith(QStringLiteral("Workspace scan failed: ")));
}

}  // namespace
}  // namespace tessaron::testing
