// The step bar, the resources strip, the log drawer with its console, the
// cell count badge and the File Manager's reveal, as a user sees them.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QMessageBox>
#include <QParallelAnimationGroup>
#include <QTextBlock>
#include <QVariantAnimation>
#include <QScrollBar>
#include <QTest>
#include <QToolButton>

#include "AnimationClock.hpp"
#include "ViewsTestSupport.hpp"
#include "support/DesktopPrograms.hpp"
#include "views/CellCountBadge.hpp"
#include "views/FileManager.hpp"
#include "views/LogConsoleView.hpp"
#include "views/LogDrawerView.hpp"
#include "views/MetricPill.hpp"
#include "views/ResourcesPanelView.hpp"
#include "views/StepMarkersView.hpp"

namespace tessaron::testing {
namespace {

using viewmodel::PipelineViewModel;
using viewmodel::StepProgress;
using viewmodel::WorkflowStep;
using views::StepMarkersView;
using views::Symbol;
using Kind = pipeline::PipelineState::Kind;
using pipeline::PipelineState;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

TEST(StepDoneRule, FollowsTheStateAlone) {
    // Steps done per state, in the order input, sfm, planning, training, final.
    const std::vector<std::pair<PipelineState, std::array<bool, 5>>> table{
        {Kind::idle, {false, false, false, false, false}},
        {Kind::extractingFrames, {false, false, false, false, false}},
        {Kind::processingSfM, {true, false, false, false, false}},
        {Kind::preparingData, {true, true, false, false, false}},
        {Kind::awaitingPartitionApproval, {true, true, false, false, false}},
        {Kind::materializingCells, {true, true, false, false, false}},
        {Kind::training, {true, true, true, false, false}},
        {Kind::exporting, {true, true, true, true, false}},
        {Kind::completed, {true, true, true, true, false}},
        {PipelineState::error("x"), {false, false, false, false, false}},
    };
    for (const auto& [state, done] : table)
        for (auto step : viewmodel::allWorkflowSteps)
            EXPECT_EQ(StepMarkersView::isDone(step, state), done[std::size_t(step)])
                << pipeline::toString(state) << " " << viewmodel::toString(step);
}

class StepBarTest : public ::testing::Test {
protected:
    void SetUp() override {
        bar_.onStepClicked = [this](WorkflowStep step) {
            clicks_.push_back(step);
            bar_.setSelectedStep(step);
        };
        bar_.resize(bar_.sizeHint());
        bar_.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&bar_));
    }
    std::array<StepProgress, 5> statuses(WorkflowStep step, StepProgress progress) {
        std::array<StepProgress, 5> all{};
        all[std::size_t(step)] = progress;
        return all;
    }
    StepMarkersView bar_;
    std::vector<WorkflowStep> clicks_;
};

TEST_F(StepBarTest, IdleShowsFiveMarkersAndTheSelectedOneExpanded) {
    for (auto step : viewmodel::allWorkflowSteps) {
        EXPECT_EQ(bar_.shownSymbol(step), StepMarkersView::symbol(step));
        if (step != WorkflowStep::input) {
            EXPECT_EQ(bar_.markerRect(step).size(), QSize(40, 40));
        }
    }
    EXPECT_GT(bar_.markerRect(WorkflowStep::input).width(), 40);
    EXPECT_EQ(bar_.fillWidth(), std::nullopt);
    EXPECT_FALSE(bar_.isSweeping());
    // Pill, connector 22 wide with 8 on each side, pill.
    EXPECT_EQ(bar_.markerRect(WorkflowStep::sfm).left() - bar_.markerRect(WorkflowStep::input).right() - 1, 8 + 22 + 8);
    EXPECT_EQ(bar_.markerRect(WorkflowStep::input).left(), 24);
}

TEST_F(StepBarTest, DoneStepsShowTheCheckmarkUnlessSelected) {
    bar_.setState(Kind::training);
    bar_.setSelectedStep(WorkflowStep::training);
    for (auto step : {WorkflowStep::input, WorkflowStep::sfm, WorkflowStep::planning})
        EXPECT_EQ(bar_.shownSymbol(step), Symbol::checkmark);
    EXPECT_EQ(bar_.shownSymbol(WorkflowStep::training), Symbol::cpu);
    bar_.setSelectedStep(WorkflowStep::sfm);
    EXPECT_EQ(bar_.shownSymbol(WorkflowStep::sfm), Symbol::cameraAperture);
    bar_.setState(Kind::completed);
    EXPECT_EQ(bar_.shownSymbol(WorkflowStep::final), Symbol::cubeTransparent);
}

TEST_F(StepBarTest, TheFillFollowsTheFractionWithinThePill) {
    bar_.setSelectedStep(WorkflowStep::training);
    const double width = bar_.markerRect(WorkflowStep::training).width();
    bar_.setStatuses(statuses(WorkflowStep::training, StepProgress::fraction(0.25)));
    EXPECT_DOUBLE_EQ(*bar_.fillWidth(), 0.25 * width);
    bar_.setStatuses(statuses(WorkflowStep::training, StepProgress::fraction(-0.5)));
    EXPECT_DOUBLE_EQ(*bar_.fillWidth(), 0);
    // Drawn clipped to the pill: a fraction above one fills it whole.
    bar_.setStatuses(statuses(WorkflowStep::training, StepProgress::fraction(1.7)));
    const QImage image = bar_.grab().toImage();
    const QRect pill = bar_.markerRect(WorkflowStep::training);
    const QColor inside = image.pixelColor(pill.right() - 22, pill.center().y() + 12);
    const QColor outside = image.pixelColor(pill.right() + 4, pill.top() + 2);
    EXPECT_NE(inside, outside);
}

TEST_F(StepBarTest, TheBandSweepsOnlyWhileTheSelectedStepRunsWithoutAnAmount) {
    bar_.setStatuses(statuses(WorkflowStep::sfm, StepProgress::indeterminate()));
    EXPECT_FALSE(bar_.isSweeping());
    bar_.setSelectedStep(WorkflowStep::sfm);
    EXPECT_TRUE(bar_.isSweeping());
    bar_.setStatuses(statuses(WorkflowStep::sfm, StepProgress::done()));
    EXPECT_FALSE(bar_.isSweeping());
}

TEST_F(StepBarTest, AClickOnAPillSelectsItsStep) {
    for (auto step : {WorkflowStep::final, WorkflowStep::sfm, WorkflowStep::input}) {
        QTest::mouseClick(&bar_, Qt::LeftButton, {}, bar_.markerRect(step).center());
        EXPECT_EQ(bar_.selectedStep(), step);
    }
    // Between the pills nothing happens.
    const QRect sfm = bar_.markerRect(WorkflowStep::sfm);
    QTest::mouseClick(&bar_, Qt::LeftButton, {}, QPoint(sfm.right() + 15, sfm.center().y()));
    EXPECT_EQ(clicks_, (std::vector<WorkflowStep>{WorkflowStep::final, WorkflowStep::sfm, WorkflowStep::input}));
}

TEST_F(StepBarTest, ANewSelectionSpringsThePillsAndTheLabelsAndEndsOnTheNewest) {
    const int narrow = bar_.markerRect(WorkflowStep::training).width();
    const int inputWide = bar_.markerRect(WorkflowStep::input).width();
    const int centre = bar_.geometry().center().x();
    AnimationClock clock;
    bar_.setSelectedStep(WorkflowStep::training);
    clock.run(64);
    // On the way: both pills between their widths, both labels part shown,
    // and the bar still centred where it was.
    const int training = bar_.markerRect(WorkflowStep::training).width();
    EXPECT_GT(training, narrow);
    EXPECT_LT(bar_.markerRect(WorkflowStep::input).width(), inputWide);
    EXPECT_GT(bar_.labelPresence(WorkflowStep::training), 0);
    EXPECT_LT(bar_.labelPresence(WorkflowStep::training), 1);
    EXPECT_GT(bar_.labelPresence(WorkflowStep::input), 0);
    EXPECT_LT(bar_.labelPresence(WorkflowStep::input), 1);
    EXPECT_NEAR(bar_.geometry().center().x(), centre, 1);
    EXPECT_EQ(bar_.selectedStep(), WorkflowStep::training);

    // Another step in mid-spring: the pills go on from where they are
    // shown and settle on the newest selection.
    bar_.setSelectedStep(WorkflowStep::sfm);
    EXPECT_EQ(bar_.markerRect(WorkflowStep::training).width(), training);
    clock.run(3000);
    EXPECT_EQ(bar_.markerRect(WorkflowStep::training).width(), narrow);
    EXPECT_EQ(bar_.markerRect(WorkflowStep::input).width(), narrow);
    EXPECT_GT(bar_.markerRect(WorkflowStep::sfm).width(), narrow);
    EXPECT_EQ(bar_.labelPresence(WorkflowStep::sfm), 1);
    for (auto step : {WorkflowStep::input, WorkflowStep::planning, WorkflowStep::training, WorkflowStep::final})
        EXPECT_EQ(bar_.labelPresence(step), 0);
    EXPECT_EQ(bar_.size(), bar_.sizeHint());
    EXPECT_NEAR(bar_.geometry().center().x(), centre, 1);
}

TEST(ResourcesValues, FollowTheModelsFigures) {
    EXPECT_EQ(views::ResourcesPanelView::ramValue(std::nullopt, QStringLiteral("3.2 / 16 GB")),
              QStringLiteral("3.2 / 16 GB"));
    EXPECT_EQ(views::ResourcesPanelView::ramValue(QStringLiteral("1.1 GB"), QStringLiteral("3.2 / 16 GB")),
              QStringLiteral("1.1 GB"));
    EXPECT_EQ(views::ResourcesPanelView::cellValue(1, 1), std::nullopt);
    EXPECT_EQ(views::ResourcesPanelView::cellValue(3, 0), QStringLiteral("1 / 3"));
    EXPECT_EQ(views::ResourcesPanelView::cellValue(3, 2), QStringLiteral("2 / 3"));
    EXPECT_EQ(views::ResourcesPanelView::iterationValue(Kind::exporting, 10, std::nullopt, 30000), std::nullopt);
    EXPECT_EQ(views::ResourcesPanelView::iterationValue(Kind::training, 1500, std::nullopt, 30000),
              QStringLiteral("1500 / 30000"));
    EXPECT_EQ(views::ResourcesPanelView::iterationValue(Kind::training, 1500, 7000, 30000),
              QStringLiteral("1500 / 7000"));
}

class ModelViewTest : public ::testing::Test {
protected:
    TempDir support_{"tessaron-views"};
    std::unique_ptr<PipelineViewModel> model_ = makeViewModel(support_);
};

TEST_F(ModelViewTest, TheResourcesStripShowsItsRowsWhileTheyApply) {
    views::ResourcesPanelView strip(*model_);
    strip.show();
    model_->setRamUsageString(QStringLiteral("5.0 / 16.0 GB"));
    EXPECT_EQ(strip.ramText(), QStringLiteral("5.0 / 16.0 GB"));
    EXPECT_EQ(strip.cellText(), std::nullopt);
    EXPECT_EQ(strip.iterationText(), std::nullopt);
    const int narrow = strip.width();
    model_->setEngineRamString(QStringLiteral("2.5 GB"));
    model_->setTotalCells(4);
    model_->setCurrentCellIndex(2);
    model_->setIteration(1500);
    model_->setCurrentState(Kind::training);
    EXPECT_EQ(strip.ramText(), QStringLiteral("2.5 GB"));
    EXPECT_EQ(strip.cellText(), QStringLiteral("2 / 4"));
    EXPECT_EQ(strip.iterationText(), QStringLiteral("1500 / 30000"));
    EXPECT_GT(strip.width(), narrow);
    model_->setCurrentState(Kind::exporting);
    EXPECT_EQ(strip.iterationText(), std::nullopt);
}

// A longer figure widens the strip at once: its value is never cut, even
// before the next sample comes.
TEST_F(ModelViewTest, TheResourcesStripWidensForALongerFigureAtOnce) {
    // Placed as the dashboard places it: at its size hint whenever its
    // content changes.
    QWidget window;
    window.resize(900, 200);
    auto& strip = *new views::ResourcesPanelView(*model_, &window);
    QObject::connect(&strip, &views::ResourcesPanelView::contentChanged,
                     [&] { strip.setGeometry(QRect(QPoint(300, 10), strip.sizeHint())); });
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    model_->setRamUsageString(QStringLiteral("1.7 / 24 GB"));
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    QLabel* value = nullptr;
    for (QLabel* label : strip.findChildren<QLabel*>())
        if (label->text() == QStringLiteral("1.7 / 24 GB")) value = label;
    ASSERT_NE(value, nullptr);
    EXPECT_GE(value->width(), value->sizeHint().width());
    EXPECT_GE(strip.width(), strip.sizeHint().width());
}

TEST_F(ModelViewTest, TheDrawerShowsTheLogOfTheRunningStage) {
    model_->setExtractionLog(QStringLiteral("extract\n"));
    model_->setSfmLog(QStringLiteral("sfm\n"));
    model_->setDataPrepLog(QStringLiteral("prep\n"));
    model_->setTrainingLog(QStringLiteral("train\n"));
    model_->setExportLog(QStringLiteral("export\n"));
    views::LogDrawerView drawer(*model_);
    drawer.show();
    const std::vector<std::pair<PipelineState, const char*>> table{
        {Kind::idle, "Ready."},
        {Kind::extractingFrames, "extract\n"},
        {Kind::processingSfM, "sfm\n"},
        {Kind::preparingData, "prep\n"},
        {Kind::awaitingPartitionApproval, "prep\n"},
        {Kind::materializingCells, "prep\n"},
        {Kind::training, "train\n"},
        {Kind::exporting, "export\n"},
        {Kind::completed, "export\n"},
        // A failure outside a run wrote no step log: its message is shown.
        {PipelineState::error("x"), "x"},
        // A failure shows the log of the step that failed.
        {Kind::processingSfM, "sfm\n"},
        {PipelineState::error("COLMAP failed"), "sfm\n"},
        {Kind::training, "train\n"},
        {PipelineState::error("trevik failed"), "train\n"},
    };
    for (const auto& [state, text] : table) {
        model_->setCurrentState(state);
        EXPECT_EQ(drawer.console()->toPlainText().toStdString(), std::string(text))
            << pipeline::toString(state);
    }
}

TEST_F(ModelViewTest, TheDrawersButtonClosesIt) {
    model_->setIsLogMenuExpanded(true);
    views::LogDrawerView drawer(*model_);
    drawer.show();
    QTest::mouseClick(drawer.closeButton(), Qt::LeftButton);
    EXPECT_FALSE(model_->isLogMenuExpanded());
}

TEST_F(ModelViewTest, AnEmptyLogShowsThePlaceholderUntilItsFirstLine) {
    model_->setCurrentState(Kind::processingSfM);
    views::LogDrawerView drawer(*model_);
    drawer.resize(400, 300);
    drawer.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&drawer));
    auto* console = drawer.console();
    EXPECT_EQ(console->placeholderText(), QStringLiteral("Logs will appear here..."));
    EXPECT_TRUE(console->toPlainText().isEmpty());
    EXPECT_EQ(console->palette().color(QPalette::PlaceholderText), views::theme::color(views::theme::NamedColor::gray));
    EXPECT_EQ(console->palette().color(QPalette::Text), views::theme::color(views::theme::NamedColor::green));
    EXPECT_TRUE(console->isReadOnly());
    model_->setSfmLog(QStringLiteral("Feature extraction\n"));
    EXPECT_EQ(console->toPlainText(), QStringLiteral("Feature extraction\n"));
}

QString numberedLines(int from, int to) {
    QString text;
    for (int line = from; line < to; ++line) text += QStringLiteral("line %1 of the run\n").arg(line);
    return text;
}

TEST(LogConsole, AppendsOnlyTheNewTextAndFollowsTheEnd) {
    views::LogConsoleView console(QStringLiteral("Logs will appear here..."));
    console.resize(380, 220);
    console.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&console));
    console.setLogText(numberedLines(0, 2000));
    EXPECT_TRUE(console.isAtEnd());
    // A flush of 2,000 lines more: the window shows the last line.
    const QString full = numberedLines(0, 4000);
    console.setLogText(full);
    EXPECT_EQ(console.toPlainText(), full);
    EXPECT_TRUE(console.isAtEnd());
    const QTextBlock last = console.document()->findBlockByNumber(3999);
    EXPECT_EQ(last.text(), QStringLiteral("line 3999 of the run"));
    EXPECT_TRUE(console.viewport()->rect().intersects(
        console.cursorRect(QTextCursor(last)).adjusted(0, 0, 0, 0)));
}

TEST(LogConsole, KeepsTheReadersPlaceWhenNotAtTheEnd) {
    views::LogConsoleView console(QStringLiteral("Logs will appear here..."));
    console.resize(380, 220);
    console.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&console));
    console.setLogText(numberedLines(0, 500));
    console.verticalScrollBar()->setValue(100);
    console.setLogText(numberedLines(0, 900));
    EXPECT_EQ(console.verticalScrollBar()->value(), 100);
    // A log cut back to its newest lines replaces the text.
    console.setLogText(numberedLines(400, 900));
    EXPECT_EQ(console.document()->firstBlock().text(), QStringLiteral("line 400 of the run"));
}

TEST(LogConsole, TextCanBeSelectedAndCopied) {
    views::LogConsoleView console(QStringLiteral("x"));
    console.show();
    console.setLogText(QStringLiteral("COLMAP done\n"));
    console.setFocus();
    QTest::keyClick(&console, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(console.textCursor().selectedText(), QStringLiteral("COLMAP done\u2029"));
}

TEST(MetricPillView, ShowsItsLabelAndValue) {
    views::MetricPill pill(QStringLiteral("Cells"), QStringLiteral("12"));
    EXPECT_EQ(pill.label(), QStringLiteral("Cells"));
    pill.setValue(QStringLiteral("14"));
    EXPECT_EQ(pill.value(), QStringLiteral("14"));
}

TEST(CellCount, PulsesOnlyWhenTheCountChanges) {
    views::CellCountBadge badge(3);
    badge.show();
    // Without motion a new count is simply there.
    badge.setCount(4);
    EXPECT_EQ(badge.count(), 4);
    EXPECT_FALSE(badge.isPulsing());

    AnimationClock clock;
    badge.setCount(4);
    EXPECT_FALSE(badge.isPulsing());
    badge.setCount(5);
    EXPECT_EQ(badge.count(), 5);
    EXPECT_TRUE(badge.isPulsing());
    // Both tracks rise to their keyframes over 0.12 s.
    clock.step(60);
    EXPECT_GT(badge.pulse().scale, 1.0);
    EXPECT_LT(badge.pulse().scale, 1.18);
    clock.step(60);
    EXPECT_NEAR(badge.pulse().scale, 1.18, 1e-9);
    EXPECT_NEAR(badge.pulse().glow, 1.0, 1e-9);
    // The scale is back after 0.45 s more, the glow after 0.5 s.
    clock.step(450);
    EXPECT_NEAR(badge.pulse().scale, 1.0, 1e-9);
    EXPECT_GT(badge.pulse().glow, 0.0);
    EXPECT_TRUE(badge.isPulsing());
    clock.step(50);
    EXPECT_FALSE(badge.isPulsing());
    EXPECT_DOUBLE_EQ(badge.pulse().scale, 1.0);
    EXPECT_DOUBLE_EQ(badge.pulse().glow, 0.0);
}

// A count mid-pulse starts the pulse and the digits' roll again; both end
// on the newest count.
TEST(CellCount, ACountMidPulseEndsOnTheNewest) {
    views::CellCountBadge badge(3);
    badge.show();
    AnimationClock clock;
    badge.setCount(5);
    clock.step(200);
    badge.setCount(9);
    EXPECT_EQ(badge.count(), 9);
    EXPECT_EQ(badge.pulseAnimation()->currentTime(), 0);
    EXPECT_EQ(badge.rollAnimation()->currentTime(), 0);
    clock.run(800);
    EXPECT_FALSE(badge.isPulsing());
    EXPECT_EQ(badge.rollAnimation()->state(), QAbstractAnimation::Stopped);
    EXPECT_DOUBLE_EQ(badge.pulse().scale, 1.0);
}

TEST(FileManagerReveal, WithoutAFileManagerServiceOpensTheFolder) {
    // The tests run without a session bus, or with one that has no file manager.
    if (QDBusConnection::sessionBus().isConnected() && QDBusConnection::sessionBus().interface() &&
        QDBusConnection::sessionBus().interface()->isServiceRegistered(QString::fromLatin1(views::FileManager::service)))
        GTEST_SKIP() << "a file manager answers on this session bus";
    std::vector<std::filesystem::path> opened;
    views::FileManager::reveal("/runs/2026-01-01/current_run.md",
                               [&](const std::filesystem::path& folder) { opened.push_back(folder); });
    // Without a bus at once; with one, when its error answer arrives.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !opened.empty(); }, 30000));
    EXPECT_EQ(opened, std::vector<std::filesystem::path>{"/runs/2026-01-01"});
}

// "Show Logs in File Manager" on a desktop where nothing opens folders:
// xdg-open ends with status 3, and the folder's path is shown instead.
TEST(FileManagerReveal, WithoutAnyFileManagerTheFolderIsShown) {
    if (QDBusConnection::sessionBus().isConnected() && QDBusConnection::sessionBus().interface() &&
        QDBusConnection::sessionBus().interface()->isServiceRegistered(QString::fromLatin1(views::FileManager::service)))
        GTEST_SKIP() << "a file manager answers on this session bus";
    DesktopPrograms desktop;
    desktop.add("xdg-open", 3);
    TempDir logs("tessaron-logs");
    views::FileManager::reveal(logs / "current_run.md");
    QMessageBox* message = nullptr;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return (message = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) != nullptr; }, 30000));
    EXPECT_EQ(message->text(), "No file manager opened the folder");
    EXPECT_EQ(message->informativeText(), QString::fromStdString(logs.path().string()));
    EXPECT_EQ(desktop.calls("xdg-open"), std::vector<std::vector<std::string>>{{logs.path().string()}});
    QTest::keyClick(message, Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([] { return QApplication::activeModalWidget() == nullptr; }, 30000));
}

}  // namespace
}  // namespace tessaron::testing
