#include <gtest/gtest.h>

#include <QSignalSpy>

#include <functional>

#include "viewmodel/ViewModelTestSupport.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::testing {
namespace {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;

using pipeline::PipelineState;
using viewmodel::PipelineViewModel;
using viewmodel::StepProgress;
using viewmodel::WorkflowStep;
using Kind = PipelineState::Kind;

// ---- Step titles -------------------------------------------------------------------

struct TitleCase {
    const char* name;
    std::function<void(PipelineViewModel&)> arrange;
    QString title;
};

class StepTitle : public ViewModelTest, public ::testing::WithParamInterface<TitleCase> {};

TEST_P(StepTitle, NamesWhatTheRunIsDoing) {
    auto model = makeViewModel();
    GetParam().arrange(*model);
    EXPECT_EQ(model->currentStepTitle(), GetParam().title);
}

std::function<void(PipelineViewModel&)> inState(PipelineState state) {
    return [state](PipelineViewModel& model) { model.setCurrentState(state); };
}

std::function<void(PipelineViewModel&)> trainingCell(qint64 index, qint64 total) {
    return [index, total](PipelineViewModel& model) {
        model.setCurrentState(Kind::training);
        model.setTotalCells(total);
        model.setCurrentCellIndex(index);
    };
}

INSTANTIATE_TEST_SUITE_P(
    States, StepTitle,
    ::testing::Values(
        TitleCase{"idle", inState(Kind::idle), "Idle"},
        TitleCase{"extraction", inState(Kind::extractingFrames), "Frame extraction"},
        TitleCase{"sfm", inState(Kind::processingSfM), "Camera poses (COLMAP)"},
        TitleCase{"preparing", inState(Kind::preparingData), "Planning"},
        TitleCase{"approval", inState(Kind::awaitingPartitionApproval), "Plan approval"},
        TitleCase{"cells", inState(Kind::materializingCells), "Preparing cells"},
        TitleCase{"oneCell", trainingCell(1, 1), "Training"},
        TitleCase{"noCellYet", trainingCell(0, 4), "Training (cell 1 of 4)"},
        TitleCase{"thirdCell", trainingCell(3, 4), "Training (cell 3 of 4)"},
        TitleCase{"grownQueue", trainingCell(12, 13), "Training (cell 12 of 13)"},
        TitleCase{"exporting", inState(Kind::exporting), "Merging and export"},
        TitleCase{"completed", inState(Kind::completed), "Done"},
        TitleCase{"errorWithoutReport", inState(PipelineState::error("boom")), "Unknown step"},
        TitleCase{"errorAfterSfM",
                  [](PipelineViewModel& model) {
                      ModelAccess::beginRunReport(model, "New run", "Photo folder", model.settingsSummary());
                      model.setCurrentState(Kind::processingSfM);
                      model.updateRunReport();
                      model.setCurrentState(PipelineState::error("COLMAP mapper failed"));
                  },
                  "Camera poses (COLMAP)"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Step statuses -----------------------------------------------------------------

struct StatusCase {
    const char* name;
    std::function<void(PipelineViewModel&)> arrange;
    std::array<StepProgress, 5> statuses;  // input, sfm, planning, training, final
};

class StepStatus : public ViewModelTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StepStatus, FollowsTheStateAndItsCounters) {
    auto model = makeViewModel();
    GetParam().arrange(*model);
    for (size_t index = 0; index < viewmodel::allWorkflowSteps.size(); ++index) {
        const WorkflowStep step = viewmodel::allWorkflowSteps[index];
        SCOPED_TRACE(viewmodel::toString(step));
        EXPECT_EQ(viewmodel::toString(model->stepStatus(step)), viewmodel::toString(GetParam().statuses[index]));
        EXPECT_EQ(model->stepStatuses()[index], model->stepStatus(step));
    }
}

const StepProgress none = StepProgress::none();
const StepProgress busy = StepProgress::indeterminate();
const StepProgress done = StepProgress::done();
StepProgress fraction(double value) { return StepProgress::fraction(value); }

std::function<void(PipelineViewModel&)> sfm(qint64 total, qint64 registered, qint64 viewsPerFrame) {
    return [=](PipelineViewModel& model) {
        model.setCurrentState(Kind::processingSfM);
        model.setSfmTotalImages(total);
        model.setSfmRegisteredImages(registered);
        model.setSfmViewsPerFrame(viewsPerFrame);
    };
}

INSTANTIATE_TEST_SUITE_P(
    Examples, StepStatus,
    ::testing::Values(
        StatusCase{"idle", inState(Kind::idle), {none, none, none, none, none}},
        StatusCase{"extractionUnknownTotal", inState(Kind::extractingFrames), {busy, none, none, none, none}},
        StatusCase{"extractionPastItsEstimate",
                   [](PipelineViewModel& model) {
                       model.setCurrentState(Kind::extractingFrames);
                       model.setExtractionTotal(200);
                       model.setExtractionCurrent(250);
                   },
                   {fraction(1.25), none, none, none, none}},
        StatusCase{"sfmBeforeRegistration", sfm(120, 0, 1), {done, busy, none, none, none}},
        StatusCase{"sfmRigClamped", sfm(120, 30, 8), {done, fraction(1.0), none, none, none}},
        StatusCase{"sfmQuarter", sfm(120, 30, 1), {done, fraction(0.25), none, none, none}},
        StatusCase{"sfmZeroViewsCountsOne", sfm(120, 30, 0), {done, fraction(0.25), none, none, none}},
        StatusCase{"preparing", inState(Kind::preparingData), {done, done, busy, none, none}},
        StatusCase{"approval", inState(Kind::awaitingPartitionApproval), {done, done, done, none, none}},
        StatusCase{"cellsUnknown", inState(Kind::materializingCells), {done, done, busy, none, none}},
        StatusCase{"cellsHalf",
                   [](PipelineViewModel& model) {
                       model.setCurrentState(Kind::materializingCells);
                       model.setMaterializationTotalCells(4);
                       model.setMaterializedCellCount(2);
                   },
                   {done, done, fraction(0.5), none, none}},
        StatusCase{"trainingSecondOfFour",
                   [](PipelineViewModel& model) {
                       model.setCurrentState(Kind::training);
                       model.setTotalCells(4);
                       model.setCurrentCellIndex(2);
                       model.setCurrentCellTargetIterations(30000);
                       model.setIteration(15000);
                       model.setCompletedCellDurations({100.0});
                   },
                   {done, done, done, fraction(0.375), none}},
        StatusCase{"trainingSingleModelUsesTheSetting",
                   [](PipelineViewModel& model) {
                       model.setCurrentState(Kind::training);
                       model.setTrainingIterations(10000);
                       model.setIteration(2500);
                   },
                   {done, done, done, fraction(0.25), none}},
        StatusCase{"trainingPastItsTarget",
                   [](PipelineViewModel& model) {
                       model.setCurrentState(Kind::training);
                       model.setTotalCells(2);
                       model.setCurrentCellTargetIterations(1000);
                       model.setIteration(5000);
                       model.setCompletedCellDurations({10.0, 12.0});
                   },
                   {done, done, done, fraction(1.0), none}},
        StatusCase{"trainingWithoutCells",
                   [](PipelineViewModel& model) {
                       model.setCurrentState(Kind::training);
                       model.setTotalCells(0);
                   },
                   {done, done, done, busy, none}},
        StatusCase{"exporting", inState(Kind::exporting), {done, done, done, done, busy}},
        StatusCase{"completed", inState(Kind::completed), {done, done, done, done, done}},
        StatusCase{"error", inState(PipelineState::error("boom")), {none, none, none, none, none}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ViewModelTest, StepStatusesSignalOnlyWhenAStatusChanges) {
    auto model = makeViewModel();
    model->setCurrentState(Kind::training);
    model->setTotalCells(2);
    model->setCurrentCellTargetIterations(1000);
    QSignalSpy statuses(model.get(), &PipelineViewModel::stepStatusesChanged);
    model->setIteration(500);
    EXPECT_EQ(statuses.count(), 1);
    model->setIteration(1000);
    model->setIteration(1500);  // past the target: the cell stays full
    EXPECT_EQ(statuses.count(), 2);
}

// ---- Time remaining ----------------------------------------------------------------

struct RemainingCase {
    const char* name;
    std::vector<double> finished;
    bool cellStarted;
    qint64 totalCells;
    qint64 cellIndex;
    qint64 iteration;
    std::optional<double> seconds;
};

class TimeRemaining : public ViewModelTest, public ::testing::WithParamInterface<RemainingCase> {};

TEST_P(TimeRemaining, AveragesTheFinishedCells) {
    auto model = makeViewModel();
    const RemainingCase& example = GetParam();
    model->setCurrentState(Kind::training);
    model->setTrainingIterations(30000);
    model->setTotalCells(example.totalCells);
    model->setCurrentCellIndex(example.cellIndex);
    model->setIteration(example.iteration);
    model->setCompletedCellDurations(example.finished);
    if (example.cellStarted) model->setCellStartedAt(QDateTime::currentDateTimeUtc());
    const viewmodel::OptionalSeconds remaining = model->estimatedTimeRemaining();
    ASSERT_EQ(remaining.has_value(), example.seconds.has_value());
    if (remaining) {
        EXPECT_NEAR(*remaining, *example.seconds, 1e-9);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Examples, TimeRemaining,
    ::testing::Values(RemainingCase{"beforeAnyCellFinished", {}, true, 4, 1, 100, std::nullopt},
                      RemainingCase{"noCellRunning", {100}, false, 4, 2, 0, std::nullopt},
                      RemainingCase{"atTheTargetCountsFivePercent", {100}, true, 4, 2, 30000, 205.0},
                      RemainingCase{"pastTheTarget", {100}, true, 4, 2, 45000, 205.0},
                      RemainingCase{"halfway", {80, 120}, true, 4, 3, 15000, 150.0},
                      RemainingCase{"lastCellJustStarted", {60}, true, 2, 2, 0, 60.0},
                      RemainingCase{"indexPastTheCount", {60}, true, 2, 3, 0, 60.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ViewModelTest, TimeRemainingSignalsWhenACellFinishes) {
    auto model = makeViewModel();
    model->setTotalCells(4);
    model->setCurrentCellIndex(2);
    model->setCellStartedAt(QDateTime::currentDateTimeUtc());
    QSignalSpy remaining(model.get(), &PipelineViewModel::estimatedTimeRemainingChanged);
    model->setCompletedCellDurations({100.0});
    EXPECT_EQ(remaining.count(), 1);
    EXPECT_TRUE(model->estimatedTimeRemaining().has_value());
}

}  // namespace
}  // namespace tessaron::testing
