// The Training panel: its compact numbers and durations, the header and the
// progress block through the states, and the figures of a partitioned and
// of a single-model run.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "PanelTestSupport.hpp"
#include "ViewsTestSupport.hpp"
#include "views/MetricPill.hpp"
#include "views/PanelControls.hpp"
#include "views/TrainingPanelView.hpp"

namespace tessaron::testing {
namespace {

using pipeline::PipelineState;
using viewmodel::PipelineViewModel;
using views::TrainingPanelView;
using Kind = PipelineState::Kind;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

TEST(TrainingFormats, CountsAndDurationsReadShort) {
    const std::vector<std::pair<int64_t, const char*>> counts{
        {0, "0"},           {999, "999"},       {1000, "1.0K"},    {12345, "12.3K"}, {999999, "1000.0K"},
        {1000000, "1.00M"}, {1234567, "1.23M"}, {2500000, "2.50M"}};
    for (const auto& [count, text] : counts) EXPECT_EQ(TrainingPanelView::formatCount(count), text) << count;

    const std::vector<std::pair<double, const char*>> durations{
        {0.4, "0s"},       {42, "42s"},      {59.4, "59s"},       {59.5, "1m 00s"},
        {245.4, "4m 05s"}, {725, "12m 05s"}, {3599.4, "59m 59s"}, {3599.5, "1h 00m"},
        {7260, "2h 01m"},  {7620, "2h 07m"}, {7679, "2h 07m"},    {360000, "100h 00m"}};
    for (const auto& [seconds, text] : durations)
        EXPECT_EQ(TrainingPanelView::formatDuration(seconds), text) << seconds;
    for (double odd : {std::nan(""), std::numeric_limits<double>::infinity(), 1e300})
        EXPECT_EQ(TrainingPanelView::formatDuration(odd), "\u2014") << odd;
}

class TrainingPanel : public ::testing::Test {
protected:
    void SetUp() override {
        model_ = makeViewModel(support_);
        panel_ = std::make_unique<TrainingPanelView>(*model_);
        panel_->resize(430, 600);
        panel_->show();
    }
    void TearDown() override {
        panel_.reset();
        model_.reset();
    }
    bool shown(const QWidget& part) const { return part.isVisibleTo(panel_.get()); }

    // Cell `index` of `total` at `iteration` of 30,000 after `finished` cells of `seconds` each.
    void trainCells(qint64 index, qint64 total, qint64 iteration, size_t finished, double seconds) {
        model_->setTrainingIterations(30000);
        model_->setTotalCells(total);
        model_->setCurrentCellIndex(index);
        model_->setCurrentCellTargetIterations(30000);
        model_->setIteration(iteration);
        model_->setCompletedCellDurations(viewmodel::CellDurations(finished, seconds));
        model_->setCellStartedAt(QDateTime::currentDateTime());
        model_->setCurrentState(Kind::training);
    }

    TempDir support_{"views-training"};
    std::unique_ptr<PipelineViewModel> model_;
    std::unique_ptr<TrainingPanelView> panel_;
};

TEST_F(TrainingPanel, HeaderAndProgressBlockFollowTheState) {
    struct Case {
        PipelineState state;
        const char* status;
        bool block;
    };
    model_->setTrainingIterations(30000);
    const std::vector<Case> table{
        {Kind::idle, "", false},
        {Kind::materializingCells, "", false},
        {Kind::training, "Training…", true},
        {Kind::exporting, "Complete", false},
        {Kind::completed, "Complete", false},
        {PipelineState::error("x"), "", false},
    };
    for (const Case& c : table) {
        model_->setCurrentState(c.state);
        const views::StatusBadge* status = headerStatus(panel_->header());
        EXPECT_EQ(statusText(panel_->header()), c.status) << pipeline::toString(c.state);
        EXPECT_EQ(status && status->isRunning(), c.state.kind == Kind::training);
        EXPECT_EQ(shown(panel_->progressBlock()), c.block) << pipeline::toString(c.state);
    }
    // No iterations to count: no block, whatever the cell's own target.
    model_->setCurrentState(Kind::training);
    model_->setCurrentCellTargetIterations(7000);
    model_->setTrainingIterations(0);
    EXPECT_FALSE(shown(panel_->progressBlock()));
}

TEST_F(TrainingPanel, APartitionedRunShowsItsCellTheRunsBarAndTheEstimate) {
    model_->setSplatCount(1234567);
    model_->setMsPerStep(18);
    // The last of eleven cells half done after ten cells of 490.8 s: 245.4 s left.
    trainCells(11, 11, 15000, 10, 490.8);
    EXPECT_EQ(visibleTexts(*panel_),
              (QStringList{"Training", "Training…", "Cell", "11 / 11", "Iter", "15000 / 30000", "Splats", "1.23M",
                           "Speed", "18.0 ms", "ETA: ~4m 05s remaining",
                           "Finished cells dim; the cell training now is highlighted in the background."}));
    EXPECT_EQ(panel_->cellBar().value(), 15000);
    EXPECT_EQ(panel_->cellBar().total(), 30000);
    EXPECT_TRUE(shown(panel_->overallBar()));
    EXPECT_DOUBLE_EQ(panel_->overallBar().value(), 10.5);
    EXPECT_EQ(panel_->overallBar().total(), 11);
    EXPECT_EQ(panel_->overallBar().tint(), views::theme::color(views::theme::NamedColor::green));
}

TEST_F(TrainingPanel, CellCountersAndBarsAtTheirEdges) {
    // Before the first cell's report the pill reads cell 1.
    trainCells(0, 3, 0, 0, 0);
    EXPECT_EQ(panel_->cellPill().value(), "1 / 3");
    EXPECT_FALSE(shown(panel_->etaLine()));
    // Two of five done, the third half way.
    trainCells(3, 5, 15000, 2, 100);
    EXPECT_DOUBLE_EQ(panel_->overallBar().value(), 2.5);
    EXPECT_EQ(panel_->overallBar().total(), 5);
    // Past its target, the current cell adds one cell at most.
    model_->setIteration(45000);
    EXPECT_DOUBLE_EQ(panel_->overallBar().value(), 3.0);
    EXPECT_EQ(panel_->iterationPill().value(), "45000 / 30000");
    // Without the cell's own target, the setting is the target.
    model_->setCurrentCellTargetIterations({});
    model_->setTrainingIterations(20000);
    model_->setIteration(5000);
    EXPECT_EQ(panel_->iterationPill().value(), "5000 / 20000");
    EXPECT_EQ(panel_->cellBar().total(), 20000);
}

TEST_F(TrainingPanel, OneModelHasNoCellPillNoRunBarAndNoEstimate) {
    model_->setTrainingIterations(30000);
    model_->setIteration(12000);
    model_->setSplatCount(999);
    model_->setMsPerStep(18);
    model_->setCurrentState(Kind::training);
    // No cells, so no caption about cells.
    EXPECT_EQ(visibleTexts(*panel_),
              (QStringList{"Training", "Training…", "Iter", "12000 / 30000", "Splats", "999", "Speed", "18.0 ms"}));
    EXPECT_FALSE(shown(panel_->cellsCaption()));
    EXPECT_TRUE(shown(panel_->cellBar()));
    EXPECT_FALSE(shown(panel_->overallBar()));
    model_->setSplatCount(1000);
    EXPECT_EQ(panel_->splatsPill().value(), "1.0K");
    model_->setCurrentState(Kind::exporting);
    EXPECT_FALSE(shown(panel_->progressBlock()));
    EXPECT_EQ(statusText(panel_->header()), "Complete");
}

}  // namespace
}  // namespace tessaron::testing
