// States of the Planning, Training and Final panels, each in the step menu
// (its scroll view and frame, at the menu's default width) on a view model
// put into the state.
#include <QTemporaryDir>
#include <QVBoxLayout>

#include <stdexcept>

#include "ShotState.hpp"
#include "viewmodel/PipelineViewModel.hpp"
#include "views/FinalViewerState.hpp"
#include "views/StepMenuView.hpp"

namespace tessaron::shots {
namespace {

using viewmodel::PipelineViewModel;
using Kind = pipeline::PipelineState::Kind;

constexpr int menuWidth = 430;
constexpr int menuHeight = 860;

// A step's panel on its own view model, in the step menu as the window
// shows it.
struct PanelStage {
    std::shared_ptr<QTemporaryDir> folder = std::make_shared<QTemporaryDir>();
    std::shared_ptr<PipelineViewModel> model;
    std::shared_ptr<views::FinalViewerState> viewer = std::make_shared<views::FinalViewerState>();
    std::shared_ptr<QWidget> window = std::make_shared<QWidget>();

    PanelStage() {
        if (!folder->isValid()) throw std::runtime_error("no temporary folder");
        PipelineViewModel::Configuration configuration;
        configuration.physicalMemoryBytes = uint64_t(32) << 30;
        configuration.manager.supportFolder = folder->path().toStdString();
        model = std::make_shared<PipelineViewModel>(configuration);
        window->setAutoFillBackground(true);
        window->resize(menuWidth, menuHeight);
    }

    void show(viewmodel::WorkflowStep step) {
        auto* menu = new views::StepMenuView(*model, *viewer, window.get());
        menu->setStep(step);
        auto* column = new QVBoxLayout(window.get());
        column->setContentsMargins(0, 0, 0, 0);
        column->addWidget(menu);
        window->show();
    }

    std::shared_ptr<QWidget> release() {
        // The menu goes before the model it shows.
        return std::shared_ptr<QWidget>(window.get(), [stage = *this](QWidget*) mutable {
            stage.window.reset();
            stage.model.reset();
        });
    }
};

partition::PartitionCell sampleCell(int64_t images, int64_t points, double memoryGB, int64_t cap, int64_t iterations) {
    partition::PartitionCell cell;
    cell.imageCount = images;
    cell.pointCount = points;
    cell.estimatedMemoryGB = memoryGB;
    cell.recommendedCapMax = cap;
    cell.recommendedIterations = iterations;
    return cell;
}

// Thirteen cells under a 12 GB budget, two of them too small to train; with
// `overBudget` one cell estimates 12.6 GB.
viewmodel::PartitionPlanPointer samplePlan(bool overBudget, std::optional<int64_t> viewsPerFrame = std::nullopt) {
    auto plan = std::make_shared<partition::PartitionPlan>();
    plan->budgetGB = 12;
    plan->viewsPerFrame = viewsPerFrame;
    const int64_t scale = viewsPerFrame.value_or(1);
    for (int index = 0; index < 13; ++index) {
        const bool skipped = index == 5 || index == 11;
        const int64_t images = (skipped ? 5 : 40 + 7 * index) * scale;
        plan->cells.push_back(
            sampleCell(images, 18000 + 2350 * index, 3.2 + 0.55 * index, 600000 + 25000 * index, skipped ? 0 : 30000));
    }
    if (overBudget) plan->cells[7].estimatedMemoryGB = 12.6;
    return plan;
}

// `prepare` puts the model into the state; the menu then shows `step`.
ShotState::Registration panelShot(std::string name, std::string description, viewmodel::WorkflowStep step,
                                  std::function<void(PanelStage&)> prepare) {
    return ShotState::Registration({std::move(name), std::move(description), [step, prepare] {
                                        PanelStage stage;
                                        prepare(stage);
                                        stage.show(step);
                                        return stage.release();
                                    }});
}

constexpr auto planning = viewmodel::WorkflowStep::planning;
constexpr auto training = viewmodel::WorkflowStep::training;
constexpr auto finalStep = viewmodel::WorkflowStep::final;

// ---- Planning ----------------------------------------------------------------

const auto planningPreparing =
    panelShot("panel-planning-preparing", "Planning: before the planner's first report", planning,
              [](PanelStage& stage) { stage.model->setCurrentState(Kind::preparingData); });

const auto planningProgress = panelShot(
    "panel-planning-progress", "Planning: the planner's phase and seven cells so far", planning, [](PanelStage& stage) {
        stage.model->setCurrentState(Kind::preparingData);
        stage.model->setPartitionProgress(partition::PartitionProgress{"Splitting cell 4 of 7…", {}, 7});
    });

const auto planningReview = panelShot("panel-planning-review", "Planning: a plan of 13 cells (2 skipped) for review",
                                      planning, [](PanelStage& stage) {
                                          stage.model->setPartitionPlan(samplePlan(false));
                                          stage.model->setCurrentState(Kind::awaitingPartitionApproval);
                                      });

const auto planningReviewOver =
    panelShot("panel-planning-review-over-budget", "Planning: a plan with a cell over budget, diagnostics on", planning,
              [](PanelStage& stage) {
                  stage.model->setPartitionPlan(samplePlan(true));
                  stage.model->setDiagnosticsEnabled(true);
                  stage.model->setCurrentState(Kind::awaitingPartitionApproval);
              });

const auto planningReviewRig = panelShot("panel-planning-review-rig", "Planning: a 360° plan of 8 views per frame",
                                         planning, [](PanelStage& stage) {
                                             stage.model->setPartitionPlan(samplePlan(false, 8));
                                             stage.model->setCurrentState(Kind::awaitingPartitionApproval);
                                         });

const auto planningMaterializing =
    panelShot("panel-planning-materializing", "Planning: 4 of 11 cells written", planning, [](PanelStage& stage) {
        stage.model->setPartitionPlan(samplePlan(false));
        stage.model->setMaterializationTotalCells(11);
        stage.model->setMaterializedCellCount(4);
        stage.model->setCurrentState(Kind::materializingCells);
    });

const auto planningDone = panelShot("panel-planning-done", "Planning: the run is training", planning,
                                    [](PanelStage& stage) { stage.model->setCurrentState(Kind::training); });

// ---- Training ----------------------------------------------------------------

// The last of eleven cells half trained after ten of 490.8 s: 245.4 s left.
void partitionedTraining(PipelineViewModel& model) {
    model.setTrainingIterations(30000);
    model.setTotalCells(11);
    model.setCurrentCellIndex(11);
    model.setCurrentCellTargetIterations(30000);
    model.setIteration(15000);
    model.setSplatCount(1234567);
    model.setMsPerStep(18);
    model.setCompletedCellDurations(viewmodel::CellDurations(10, 490.8));
    model.setCellStartedAt(QDateTime::currentDateTime());
    model.setCurrentState(Kind::training);
}

const auto trainingCells = panelShot("panel-training-cells", "Training: cell 11 of 11, ETA 4m 05s", training,
                                     [](PanelStage& stage) { partitionedTraining(*stage.model); });

const auto trainingSingle =
    panelShot("panel-training-single", "Training: one model, no cells", training, [](PanelStage& stage) {
        stage.model->setTrainingIterations(30000);
        stage.model->setIteration(12000);
        stage.model->setSplatCount(999);
        stage.model->setMsPerStep(18);
        stage.model->setCurrentState(Kind::training);
    });

const auto trainingExporting =
    panelShot("panel-training-exporting", "Training: done, the model being exported", training, [](PanelStage& stage) {
        partitionedTraining(*stage.model);
        stage.model->setCurrentState(Kind::exporting);
    });

// ---- Final -------------------------------------------------------------------

void viewerStatistics(views::FinalViewerState& viewer) { viewer.setStats({59.6, 1234567, 3.27}); }

const auto finalComplete =
    panelShot("panel-final-complete", "Final: the run complete, its log and output", finalStep, [](PanelStage& stage) {
        const std::filesystem::path workspace = stage.folder->path().toStdString();
        stage.model->setLogFileURL(workspace / "Tessaron_logs" / "2026-12-07_120000_1a2b3c_training.md");
        stage.model->setOutputPlyPath(QString::fromStdString((workspace / "output.ply").string()));
        stage.model->setCurrentState(Kind::completed);
        viewerStatistics(*stage.viewer);
    });

const auto finalError = panelShot("panel-final-error", "Final: the run failed", finalStep, [](PanelStage& stage) {
    stage.model->setLogFileURL(std::filesystem::path(stage.folder->path().toStdString()) / "run_training.md");
    stage.model->setCurrentState(pipeline::PipelineState::error(
        "COLMAP mapper failed (exit code 1). Only 3 of 120 images could be registered."));
    viewerStatistics(*stage.viewer);
});

const auto finalExporting = panelShot("panel-final-exporting", "Final: exporting", finalStep, [](PanelStage& stage) {
    stage.model->setCurrentState(Kind::exporting);
    stage.viewer->setShowStats(false);
});

const auto finalWaiting =
    panelShot("panel-final-waiting", "Final: training still runs, Free-Fly chosen", finalStep, [](PanelStage& stage) {
        stage.model->setCurrentState(Kind::training);
        stage.viewer->setOrbit(false);
    });

const auto finalIdle = panelShot("panel-final-idle", "Final: nothing ran yet", finalStep, [](PanelStage&) {});

}  // namespace
}  // namespace tessaron::shots
