// The Final panel as a user drives it: the outcome of each state with its
// buttons, the viewer's camera and statistics, opening a model, reporting a
// failure, starting over, and a re-merge of a finished workspace.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLocale>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTest>

#include "PanelTestSupport.hpp"
#include "ViewsTestSupport.hpp"
#include "engines/PLYCheck.hpp"
#include "generators/SyntheticCells.hpp"
#include "viewer/ConverterModel.hpp"
#include "viewer/SplatConverterView.hpp"
#include "viewmodel/ScriptedDialogs.hpp"
#include "views/FinalPanelView.hpp"
#include "views/PanelControls.hpp"

namespace tessaron::testing {
namespace {

using generators::SyntheticCells;
using generators::SyntheticCellsOptions;
using generators::writeSyntheticCells;
namespace fs = std::filesystem;
using pipeline::PipelineState;
using viewmodel::PipelineViewModel;
using views::FinalPanelView;
using Kind = PipelineState::Kind;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

class FinalPanel : public ::testing::Test {
protected:
    void SetUp() override {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        model_ = makeViewModel(support_);
        model_->setDialogService(dialogs_);
        FinalPanelView::Actions actions;
        actions.reportProblem = [this](const QString& context) { reports_ << context; };
        actions.revealFile = [this](const fs::path& file) { revealed_.push_back(file); };
        panel_ = std::make_unique<FinalPanelView>(*model_, viewer_, actions);
        panel_->resize(430, 1000);
        panel_->show();
    }
    void TearDown() override {
        panel_.reset();
        model_.reset();
        QLocale::setDefault(QLocale::c());
    }

    // The outcome section's texts, between the header and the divider.
    QStringList outcome() const { return visibleTexts(panel_->outcomeSection()); }
    bool shown(const QWidget& part) const { return part.isVisibleTo(panel_.get()); }
    // The section is rebuilt after a click: its old widgets go in the next pass.
    void settle() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    TempDir support_{"views-final"};
    std::shared_ptr<ScriptedDialogs> dialogs_ = std::make_shared<ScriptedDialogs>();
    views::FinalViewerState viewer_;
    QStringList reports_;
    std::vector<fs::path> revealed_;
    std::unique_ptr<PipelineViewModel> model_;
    std::unique_ptr<FinalPanelView> panel_;
};

TEST_F(FinalPanel, EachStateShowsItsOutcomeAndTheIdleBlockOnlyWhenNothingRuns) {
    const fs::path log = support_.path() / "Tessaron_logs" / "run_training.md";
    const QString waiting = "Waiting for earlier steps to finish…";
    struct Case {
        PipelineState state;
        bool withLog;
        QStringList texts;
        bool idleBlock;
    };
    const std::vector<Case> table{
        {Kind::idle, false, {waiting}, true},
        {Kind::training, true, {waiting}, false},
        {Kind::awaitingPartitionApproval, false, {waiting}, false},
        {Kind::exporting, true, {"Exporting PLY…"}, false},
        {Kind::completed, false, {"Pipeline complete", "Start New Pipeline"}, true},
        {Kind::completed, true, {"Pipeline complete", "Show Logs in File Manager", "Start New Pipeline"}, true},
        {PipelineState::error("COLMAP failed: 3 of 120 images registered"),
         true,
         {"Pipeline failed", "COLMAP failed: 3 of 120 images registered", "Report This Problem…",
          "Show Logs in File Manager", "Reset & Try Again"},
         true},
        {PipelineState::error("<b>not bold</b>"),
         false,
         {"Pipeline failed", "<b>not bold</b>", "Report This Problem…", "Reset & Try Again"},
         true},
    };
    for (const Case& c : table) {
        model_->setLogFileURL(c.withLog ? viewmodel::OptionalPath(log) : std::nullopt);
        model_->setCurrentState(c.state);
        settle();
        SCOPED_TRACE(pipeline::toString(c.state));
        EXPECT_EQ(panel_->header().title(), "Final");
        EXPECT_EQ(panel_->header().trailing(), nullptr);
        EXPECT_TRUE(shown(panel_->outcomeSection()));
        EXPECT_EQ(outcome(), c.texts);
        EXPECT_EQ(shown(panel_->idleBlock()), c.idleBlock);
        EXPECT_EQ(panel_->converter() != nullptr, c.idleBlock);
        // The viewer's controls stay in every state.
        EXPECT_TRUE(shown(panel_->orbitButton()));
        EXPECT_TRUE(shown(panel_->openModelButton()));
    }
}

TEST_F(FinalPanel, TheErrorMessageIsPlainSelectableText) {
    model_->setCurrentState(PipelineState::error("<i>x</i> & y"));
    settle();
    auto* message = panel_->outcomeSection().findChild<QLabel*>("errorMessage");
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->textFormat(), Qt::PlainText);
    EXPECT_TRUE(message->textInteractionFlags() & Qt::TextSelectableByMouse);
}

TEST_F(FinalPanel, ReportAndRevealHandOverTheMessageAndTheLogOfTheMoment) {
    const fs::path log = support_.path() / "Tessaron_logs" / "first_training.md";
    model_->setLogFileURL(log);
    for (const char* message : {"Training failed for cell_2", ""}) {
        model_->setCurrentState(PipelineState::error(message));
        settle();
        click(visibleButton(panel_->outcomeSection(), "Report This Problem…"));
    }
    EXPECT_EQ(reports_, (QStringList{"Tessaron stopped with an error: Training failed for cell_2",
                                     "Tessaron stopped with an error: "}));
    click(visibleButton(panel_->outcomeSection(), "Show Logs in File Manager"));
    ASSERT_EQ(revealed_.size(), 1u);
    EXPECT_EQ(revealed_[0], log);
}

TEST_F(FinalPanel, StartNewPipelineAndResetAndTryAgainBothResetTheRun) {
    for (const PipelineState& ended : {PipelineState(Kind::completed), PipelineState::error("boom")}) {
        model_->setSelectedInputURL(support_.path() / "photos");
        model_->setOutputPlyPath(QStringLiteral("/somewhere/output.ply"));
        model_->setCurrentState(ended);
        settle();
        click(visibleButton(panel_->outcomeSection(), ended.isError() ? "Reset & Try Again" : "Start New Pipeline"));
        settle();
        EXPECT_EQ(model_->currentState(), Kind::idle);
        EXPECT_FALSE(model_->selectedInputURL());
        EXPECT_FALSE(model_->outputPlyPath());
        EXPECT_EQ(outcome(), QStringList{"Waiting for earlier steps to finish…"});
    }
}

TEST_F(FinalPanel, AModelOpenedByHandWhileNothingRunsIsNotWaitingForAnyStep) {
    const QString waiting = "Waiting for earlier steps to finish…";
    model_->setCurrentState(Kind::idle);
    viewer_.setUrl(QUrl::fromLocalFile(QStringLiteral("/somewhere/model.ply")));
    settle();
    EXPECT_EQ(outcome(), QStringList{});
    // A run under way still waits, whatever the viewer shows.
    model_->setCurrentState(Kind::training);
    settle();
    EXPECT_EQ(outcome(), QStringList{waiting});
    model_->setCurrentState(Kind::idle);
    viewer_.setUrl(QUrl());
    settle();
    EXPECT_EQ(outcome(), QStringList{waiting});
}

TEST_F(FinalPanel, ResetAndTryAgainWaitsForTheFailedOperationToEnd) {
    startChildOperation(*model_, politeChild);
    model_->setSelectedInputURL(support_.path() / "photos");
    model_->setCurrentState(PipelineState::error("the engine stopped answering"));
    settle();
    click(visibleButton(panel_->outcomeSection(), "Reset & Try Again"));
    // The operation still runs: nothing is reset under it.
    EXPECT_TRUE(model_->selectedInputURL());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->hasActiveOperation(); }, 30000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->selectedInputURL(); }, 30000));
    EXPECT_EQ(model_->currentState(), Kind::idle);
}

TEST_F(FinalPanel, CameraStatisticsAndOpenAreTheViewersControls) {
    EXPECT_TRUE(viewer_.orbit());
    EXPECT_TRUE(panel_->orbitButton().isChecked());
    click(&panel_->freeFlyButton());
    EXPECT_FALSE(viewer_.orbit());
    EXPECT_TRUE(panel_->freeFlyButton().isChecked());
    click(&panel_->orbitButton());
    EXPECT_TRUE(viewer_.orbit());

    viewer_.setStats({59.6, 1234567, 3.27});
    EXPECT_TRUE(shown(panel_->statisticsBox()));
    EXPECT_EQ(panel_->statisticsBox().text(), "FPS: 60\nGaussians: 1,234,567\nDraw: 3.3 ms\nRenderer: SplatRenderer");
    click(&panel_->showStatsSwitch());
    EXPECT_FALSE(viewer_.showStats());
    EXPECT_FALSE(shown(panel_->statisticsBox()));

    QSignalSpy opened(panel_.get(), &FinalPanelView::openModelRequested);
    click(&panel_->openModelButton());
    EXPECT_EQ(opened.count(), 1);
    EXPECT_EQ(panel_->openModelButton().text(), "Open a model in the viewer…");
    EXPECT_TRUE(visibleTexts(*panel_).contains("PLY · SPZ · .splat — or drop a file anywhere on the background."));
}

TEST_F(FinalPanel, TheConverterComesBackAfterABusyPeriodWithTheOutputOfThatMoment) {
    ASSERT_NE(panel_->converter(), nullptr);
    EXPECT_TRUE(panel_->converter()->model()->queue().empty());
    model_->setCurrentState(Kind::exporting);
    EXPECT_EQ(panel_->converter(), nullptr);
    const fs::path output = support_.path() / "output.ply";
    model_->setOutputPlyPath(QString::fromStdString(output.string()));
    model_->setCurrentState(Kind::completed);
    ASSERT_NE(panel_->converter(), nullptr);
    ASSERT_EQ(panel_->converter()->model()->queue().size(), 1u);
    EXPECT_EQ(panel_->converter()->model()->queue()[0].url, output);
}

// The panel lies in the step menu's column, which never scrolls sideways:
// converting a model to .splat, with the converter's long command and
// output lines, leaves it within the column's width.
TEST_F(FinalPanel, ASplatConversionKeepsThePanelWithinItsColumn) {
    QScrollArea column;
    column.setWidgetResizable(true);
    column.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    FinalPanelView* panel = new FinalPanelView(*model_, viewer_, FinalPanelView::Actions{});
    column.setWidget(panel);
    column.resize(430, 700);
    column.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&column));
    ASSERT_NE(panel->converter(), nullptr);

    const SyntheticCells cells = writeSyntheticCells(support_.path() / "cells", SyntheticCellsOptions{});
    const fs::path model = support_.path() / "cells" / cells.plan.cells.front().id / "output.ply";
    ASSERT_TRUE(fs::exists(model));
    const fs::path output = support_.path() / "a rather long folder name for the converted splat files of this run";
    fs::create_directories(output);
    const auto converter = panel->converter()->model();
    converter->setOutputFolderChooser([output](const fs::path&) { return output; });
    converter->add({model});
    converter->setFormat(engines::SplatOutputFormat::splat);
    std::vector<int> widths;
    QObject::connect(converter.get(), &viewer::ConverterModel::statusLineChanged, [&] {
        widths.push_back(panel->minimumSizeHint().width());
    });
    click(visibleButton(*panel->converter(), "Convert"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !converter->isRunning(); }, 60000));
    QCoreApplication::processEvents();
    ASSERT_EQ(converter->queue().front().state.kind, viewer::ConverterModel::Item::State::Kind::done)
        << converter->queue().front().state.failure.toStdString();
    EXPECT_FALSE(widths.empty());
    for (int width : widths) EXPECT_LE(width, column.viewport()->width());
    EXPECT_LE(panel->minimumSizeHint().width(), column.viewport()->width());
    EXPECT_LE(panel->width(), column.viewport()->width());
}

TEST_F(FinalPanel, TheConvertersFormatListTakesTheWheelOnlyWhenFocused) {
    ASSERT_NE(panel_->converter(), nullptr);
    auto* formats = panel_->converter()->findChild<QComboBox*>();
    ASSERT_NE(formats, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowActive(panel_.get()));
    const int shown = formats->currentIndex();
    const int notch = shown > 0 ? 1 : -1;  // towards the list's other end
    turnWheel(formats, notch);
    EXPECT_EQ(formats->currentIndex(), shown);
    formats->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(QTest::qWaitFor([&] { return formats->hasFocus(); }, 30000));
    turnWheel(formats, notch);
    EXPECT_NE(formats->currentIndex(), shown);
}

TEST_F(FinalPanel, ReMergeRewritesTheOutputOfAFinishedPartitionedWorkspace) {
    const fs::path workspace = support_.path() / "Tessaron_workspace";
    SyntheticCellsOptions options;
    options.columns = 2;
    options.rows = 2;
    const SyntheticCells cells = writeSyntheticCells(workspace / "partitions", options);
    cells.plan.save(workspace / "partitions" / "partition_plan.json");
    fs::create_directories(workspace / "colmap" / "sparse" / "0");
    writeTextFile(workspace / "output.ply", "an older merge");

    dialogs_->answer(workspace);
    click(visibleButton(*panel_, "Re-merge Existing Cells…"));
    ASSERT_EQ(dialogs_->opened.size(), 1u);
    EXPECT_EQ(dialogs_->opened[0].title, "Select Tessaron_workspace folder");
    // While it merges the block is gone.
    EXPECT_FALSE(shown(panel_->idleBlock()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->hasActiveOperation(); }, 60000));
    settle();
    ASSERT_EQ(model_->currentState(), Kind::completed) << model_->currentState().message;
    EXPECT_EQ(model_->outputPlyPath(), QString::fromStdString((workspace / "output.ply").string()));
    EXPECT_EQ(engines::PLYCheck::validate(workspace / "output.ply").vertexCount, int64_t(cells.expectedOrder().size()));
    EXPECT_EQ(outcome().first(), "Pipeline complete");
    EXPECT_TRUE(shown(panel_->idleBlock()));
    ASSERT_NE(panel_->converter(), nullptr);
    EXPECT_EQ(panel_->converter()->model()->queue().size(), 1u);
}

}  // namespace
}  // namespace tessaron::testing
