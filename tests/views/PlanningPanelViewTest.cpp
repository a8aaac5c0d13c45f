// The Planning panel as a user sees and drives it: the header's status and
// the phase of every state, the planner's progress, the plan review's
// figures, verdict and rows, the diagnostics choice, "Start Training" on a
// pending approval and the cells' materialisation.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QPushButton>
#include <QTest>

#include <atomic>
#include <thread>

#include "AnimationClock.hpp"
#include "PanelTestSupport.hpp"
#include "ViewsTestSupport.hpp"
#include "support/EventLoopWait.hpp"
#include "views/CellCountBadge.hpp"
#include "views/PanelControls.hpp"
#include "views/FinalViewerState.hpp"
#include "views/PlanningPanelView.hpp"
#include "views/StepMenuView.hpp"
#include "views/Theme.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::testing {
namespace {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;

using pipeline::PipelineState;
using viewmodel::PipelineViewModel;
using views::PlanningPanelView;
using Kind = PipelineState::Kind;
using Phase = PlanningPanelView::Phase;
using Approval = pipeline::PipelineManager::ApprovalOutcome;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

class PlanningPanel : public ::testing::Test {
protected:
    void SetUp() override {
        model_ = makeViewModel(support_);
        panel_ = std::make_unique<PlanningPanelView>(*model_);
        panel_->resize(430, 900);
        panel_->show();
    }
    void TearDown() override {
        panel_.reset();
        model_.reset();
    }

    void review(std::shared_ptr<const partition::PartitionPlan> plan) {
        model_->setPartitionPlan(std::move(plan));
        model_->setCurrentState(Kind::awaitingPartitionApproval);
        ASSERT_EQ(panel_->phase(), Phase::planReview);
    }
    QStringList texts() const { return visibleTexts(*panel_); }

    TempDir support_{"views-planning"};
    std::unique_ptr<PipelineViewModel> model_;
    std::unique_ptr<PlanningPanelView> panel_;
};

TEST_F(PlanningPanel, HeaderAndPhaseFollowEveryState) {
    struct Case {
        PipelineState state;
        bool withPlan;
        const char* status;  // "": no status
        Phase phase;
    };
    const std::vector<Case> table{
        {Kind::idle, false, "", Phase::planningProgress},
        {Kind::extractingFrames, false, "", Phase::planningProgress},
        {Kind::processingSfM, false, "", Phase::planningProgress},
        {Kind::preparingData, false, "Planning…", Phase::planningProgress},
        // Ready before the plan has arrived: the progress stays, the header already asks.
        {Kind::awaitingPartitionApproval, false, "Review Plan", Phase::planningProgress},
        {Kind::awaitingPartitionApproval, true, "Review Plan", Phase::planReview},
        {Kind::materializingCells, true, "Partitioning…", Phase::materializing},
        {Kind::training, true, "Complete", Phase::planningProgress},
        {Kind::exporting, true, "Complete", Phase::planningProgress},
        {Kind::completed, true, "Complete", Phase::planningProgress},
        {PipelineState::error("boom"), true, "", Phase::planningProgress},
    };
    for (const Case& c : table) {
        model_->setPartitionPlan(c.withPlan ? elevenAndTwoSkipped() : nullptr);
        model_->setCurrentState(c.state);
        const views::StatusBadge* status = headerStatus(panel_->header());
        SCOPED_TRACE(pipeline::toString(c.state));
        EXPECT_EQ(panel_->header().title(), "Planning");
        EXPECT_EQ(statusText(panel_->header()), c.status);
        EXPECT_EQ(status && status->isRunning(),
                  c.state.kind == Kind::preparingData || c.state.kind == Kind::materializingCells);
        if (c.state.kind == Kind::awaitingPartitionApproval) {
            ASSERT_TRUE(status && status->symbolView());
            EXPECT_EQ(status->symbolView()->symbol(), views::Symbol::handRaisedFill);
            EXPECT_EQ(status->symbolView()->color(), views::theme::color(views::theme::NamedColor::orange));
        }
        EXPECT_EQ(panel_->phase(), c.phase);
        EXPECT_EQ(panel_->planningProgress().isVisibleTo(panel_.get()), c.phase == Phase::planningProgress);
        EXPECT_EQ(panel_->reviewCard().isVisibleTo(panel_.get()), c.phase == Phase::planReview);
        EXPECT_EQ(panel_->materializingContent().isVisibleTo(panel_.get()), c.phase == Phase::materializing);
    }
}

TEST_F(PlanningPanel, ProgressShowsThePlannersPhaseAndItsCellsOnceThereAreAny) {
    model_->setCurrentState(Kind::preparingData);
    EXPECT_EQ(texts(), (QStringList{"Planning", "Planning…",
                                    "Computing the VastGaussian partition from the reconstruction and your RAM "
                                    "budget. The Voronoi cells fill in behind this panel as they're decided.",
                                    "Preparing…"}));
    model_->setPartitionProgress(partition::PartitionProgress{"Clustering cameras", {}, 0});
    EXPECT_EQ(texts().last(), "Clustering cameras");
    EXPECT_EQ(panel_->cellCountBadge(), nullptr);

    model_->setPartitionProgress(partition::PartitionProgress{"Splitting cell 4 of 7…", {}, 7});
    ASSERT_NE(panel_->cellCountBadge(), nullptr);
    EXPECT_TRUE(panel_->cellCountBadge()->isVisibleTo(panel_.get()));
    EXPECT_EQ(panel_->cellCountBadge()->count(), 7);
    EXPECT_EQ(texts().mid(3),
              (QStringList{"Splitting cell 4 of 7…", "cells so far — watch them split in the background"}));
    // Shown with its first count, it does not pulse; a new count does.
    AnimationClock clock;
    EXPECT_FALSE(panel_->cellCountBadge()->isPulsing());
    model_->setPartitionProgress(partition::PartitionProgress{"Splitting cell 5 of 8…", {}, 8});
    EXPECT_TRUE(panel_->cellCountBadge()->isPulsing());
}

TEST_F(PlanningPanel, ReviewShowsTheFiguresTheVerdictAndARowPerCell) {
    review(elevenAndTwoSkipped());
    const QStringList shown = texts();
    ASSERT_GE(shown.size(), 14);
    EXPECT_EQ(shown.mid(0, 10), (QStringList{"Planning", "Review Plan", "Partition Plan Ready", "Cells", "11",
                                             "Skipped", "2", "Budget", "12.0 GB", "All cells fit within RAM budget"}));
    // Skipped cells keep their row; the names count rows, not ids.
    EXPECT_EQ(shown.mid(10, 3), (QStringList{"cell_0", "cap 600K · 30K it · 4.0 GB", "40 img · 20K pts"}));
    EXPECT_TRUE(shown.contains("cell_12"));
    EXPECT_TRUE(shown.contains("7 img · 20K pts"));
    EXPECT_EQ(shown.mid(shown.size() - 3),
              (QStringList{"Run with full diagnostics",
                           "Adds per\u2011iter timing and a per\u2011stage CPU profile. Slightly slower.",
                           "Start Training"}));
    // The thirteenth dot starts the palette again.
    auto dotColor = [&](const char* row) {
        auto* dot = panel_->reviewCard().findChild<QWidget*>(row)->findChildren<QWidget*>().first();
        return dot->grab().toImage().pixelColor(5, 5);
    };
    EXPECT_EQ(dotColor("cell_12"), dotColor("cell_0"));
    EXPECT_EQ(dotColor("cell_0"), views::theme::cellColor(0));
    EXPECT_NE(dotColor("cell_1"), dotColor("cell_0"));
}

TEST_F(PlanningPanel, TheVerdictWarnsOnlyWhenACellEstimatesMoreThanTheBudget) {
    struct Case {
        const char* name;
        std::vector<double> memory;
        std::vector<int64_t> images;
        const char* verdict;
    };
    const char* fits = "All cells fit within RAM budget";
    const char* exceeds = "Some cells exceed budget — swap may be used";
    const std::vector<Case> table{
        {"no cells", {}, {}, fits},
        {"one at the budget", {8.0, 12.0}, {40, 40}, fits},
        {"one just above", {8.0, 12.05}, {40, 40}, exceeds},
        {"a skipped one above", {8.0, 20.0}, {40, 3}, exceeds},
    };
    for (const Case& c : table) {
        auto plan = std::make_shared<partition::PartitionPlan>();
        plan->budgetGB = 12;
        for (size_t index = 0; index < c.memory.size(); ++index)
            plan->cells.push_back(planCell(c.images[index], 1000, c.memory[index]));
        review(plan);
        EXPECT_TRUE(texts().contains(c.verdict)) << c.name;
        EXPECT_EQ(PlanningPanelView::exceedsBudget(*plan), std::string(c.verdict) == exceeds) << c.name;
    }
}

TEST(PlanCellRow, DividesTowardZeroAndCountsFramesOnlyForARig) {
    struct Case {
        std::optional<int64_t> viewsPerFrame;
        partition::PartitionCell cell;
        int64_t index;
        PlanningPanelView::CellRowTexts expected;
    };
    const std::vector<Case> table{
        {std::nullopt,
         planCell(96, 999, 3.26, 1999, 29999),
         0,
         {"cell_0", "cap 1K · 29K it · 3.3 GB", "96 img · 0K pts"}},
        {1,
         planCell(96, 45678, 0.04, 1000000, 30000),
         12,
         {"cell_12", "cap 1000K · 30K it · 0.0 GB", "96 img · 45K pts"}},
        {8,
         planCell(96, 45678, 11.96, 850000, 7000),
         3,
         {"cell_3", "cap 850K · 7K it · 12.0 GB", "96 img · 12 frames · 45K pts"}},
        {8, planCell(15, 2000, 1, 999, 999), 4, {"cell_4", "cap 0K · 0K it · 1.0 GB", "15 img · 1 frame · 2K pts"}},
    };
    for (const Case& c : table) {
        partition::PartitionPlan plan;
        plan.viewsPerFrame = c.viewsPerFrame;
        const auto texts = PlanningPanelView::cellRowTexts(c.index, c.cell, plan);
        EXPECT_EQ(texts.name, c.expected.name);
        EXPECT_EQ(texts.budget, c.expected.budget);
        EXPECT_EQ(texts.size, c.expected.size);
    }
}

// A 360° plan's rows carry the most figures. In the step menu at its default,
// smallest and largest width every figure is whole and inside its row, and
// no two of a row's texts overlap.
TEST(PlanCellRowInTheMenu, KeepsEveryFigureWholeAtEveryMenuWidth) {
    TempDir support{"views-planning-rows"};
    auto model = makeViewModel(support);
    auto plan = std::make_shared<partition::PartitionPlan>();
    plan->budgetGB = 12;
    plan->viewsPerFrame = 8;
    for (int index = 0; index < 13; ++index)
        plan->cells.push_back(planCell(880 + index, 41000 + index * 1000, 8.7, 850000, 30000));
    model->setPartitionPlan(plan);
    model->setCurrentState(Kind::awaitingPartitionApproval);
    views::FinalViewerState viewer;
    views::StepMenuView menu(*model, viewer);
    menu.setStep(viewmodel::WorkflowStep::planning);
    for (int width : {430, 360, 560}) {
        menu.resize(width, 700);
        menu.show();
        QCoreApplication::processEvents();
        auto* panel = menu.findChild<PlanningPanelView*>();
        ASSERT_NE(panel, nullptr);
        for (size_t index = 0; index < plan->cells.size(); ++index) {
            const QString name = QStringLiteral("cell_") + QString::number(index);
            auto* row = panel->reviewCard().findChild<QWidget*>(name);
            ASSERT_NE(row, nullptr) << name.toStdString();
            auto* size = row->findChild<viewer::ElidedLabel*>(QStringLiteral("size"));
            ASSERT_NE(size, nullptr);
            EXPECT_EQ(size->shownText(), size->text()) << width << " " << name.toStdString();
            EXPECT_TRUE(row->rect().contains(size->geometry())) << width << " " << name.toStdString();
            const QList<QLabel*> texts = row->findChildren<QLabel*>();
            ASSERT_EQ(texts.size(), 2);
            for (QLabel* text : texts) {
                EXPECT_TRUE(row->rect().contains(text->geometry())) << width;
                EXPECT_FALSE(text->geometry().intersects(size->geometry())) << width << " " << name.toStdString();
                EXPECT_LE(text->sizeHint().width(), text->width());
            }
        }
    }
}

TEST_F(PlanningPanel, TheDiagnosticsToggleChangesOnlyTheSettingUntilTheApproval) {
    review(elevenAndTwoSkipped());
    QCheckBox& toggle = panel_->diagnosticsToggle();
    QTest::mouseClick(&toggle, Qt::LeftButton, {}, QPoint(5, toggle.height() / 2));
    EXPECT_TRUE(model_->diagnosticsEnabled());
    // The menu's toggle is the same setting.
    model_->setDiagnosticsEnabled(false);
    EXPECT_FALSE(toggle.isChecked());
}

TEST_F(PlanningPanel, StartTrainingAnswersThePendingApprovalOnceWithTheDiagnosticsChoice) {
    review(elevenAndTwoSkipped());
    model_->setDiagnosticsEnabled(true);
    std::atomic<int> answers = 0;
    std::atomic<bool> approved = false;
    std::atomic<bool> diagnostics = false;
    auto awaitAnswer = [&](std::stop_token) {
        const auto decision = pipeline::PipelineManagerTestAccess::awaitPartitionDecision(*model_->pipelineManager());
        approved = decision.outcome == Approval::approved;
        diagnostics = decision.diagnostics.value_or(false);
        ++answers;
    };
    ModelAccess::runTrackedOperation(*model_, awaitAnswer);
    // A press before the driver waits is lost, as it is in the driver; the
    // user presses until the run moves on.
    QAbstractButton* start = visibleButton(*panel_, "Start Training");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            click(start);
            return answers > 0;
        },
        5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ModelAccess::hasActiveTask(*model_); }, 30000));
    EXPECT_TRUE(approved);
    EXPECT_TRUE(diagnostics);
    // The state is the driver's to change.
    EXPECT_EQ(model_->currentState(), Kind::awaitingPartitionApproval);

    // With nothing pending a press does nothing; it does not answer the
    // next wait ahead of time.
    model_->setDiagnosticsEnabled(false);
    click(start);
    click(start);
    ModelAccess::runTrackedOperation(*model_, awaitAnswer);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return answers > 1 || pipeline::PipelineManagerTestAccess::isAwaitingApproval(*model_->pipelineManager()); },
        30000));
    ASSERT_TRUE(deliverEventsDueWithin());
    EXPECT_EQ(answers, 1);
    model_->cancelRun();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ModelAccess::hasActiveTask(*model_); }, 30000));
    EXPECT_EQ(answers, 2);
    EXPECT_FALSE(approved);
}

TEST_F(PlanningPanel, MaterializationCountsTheRawTotalAndBarsAtLeastOne) {
    model_->setCurrentState(Kind::materializingCells);
    EXPECT_EQ(texts(), (QStringList{"Planning", "Partitioning…", "Partitioning Cells",
                                    "Writing each cell's COLMAP subset to disk. Training starts automatically as soon "
                                    "as the cells are ready.",
                                    "0 / 0 cells written"}));
    EXPECT_EQ(panel_->materializationBar().value(), 0);
    EXPECT_EQ(panel_->materializationBar().total(), 1);
    model_->setMaterializationTotalCells(11);
    model_->setMaterializedCellCount(4);
    EXPECT_EQ(panel_->materializationCounter().text(), "4 / 11 cells written");
    EXPECT_EQ(panel_->materializationBar().value(), 4);
    EXPECT_EQ(panel_->materializationBar().total(), 11);
}

}  // namespace
}  // namespace tessaron::testing
