#pragma once

#include <QWidget>

#include <memory>

#include "partition/PartitionPlan.hpp"
#include "viewmodel/PipelineViewModel.hpp"

class QCheckBox;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace tessaron::views {

class CellCountBadge;
class LinearProgressBar;
class MetricPill;
class PanelHeader;

// The Planning step's panel. While the plan is computed: an explanation, the
// planner's phase and its cell count. While the run waits for the user: the
// plan for review (its figures, the budget verdict, a row per cell), the
// full-diagnostics choice and "Start Training", the one approval of a plan.
// While the cells' models are written: their progress. It keeps no state of
// its own and follows the view model.
//
// Threads: the main thread only.
class PlanningPanelView : public QWidget {
    Q_OBJECT
public:
    enum class Phase { planningProgress, planReview, materializing };

    explicit PlanningPanelView(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);

    Phase phase() const { return phase_; }

    // "Start Training": answers the driver's pending approval as approved,
    // with the diagnostics choice for the plan's cells. Changes nothing else.
    void approvePlan();

    // The texts of a cell's row, at position `index` of `plan`.
    struct CellRowTexts {
        QString name;
        QString budget;
        QString size;
    };
    static CellRowTexts cellRowTexts(int64_t index, const partition::PartitionCell& cell,
                                     const partition::PartitionPlan& plan);
    // The line under "Run with full diagnostics".
    static QString diagnosticsDetailText();
    // Some cell, skipped or not, estimates more than the budget.
    static bool exceedsBudget(const partition::PartitionPlan& plan);

    // The parts, for tests and screenshots.
    PanelHeader& header() const { return *header_; }
    QWidget& planningProgress() const { return *progress_; }
    QLabel& phaseText() const { return *phaseText_; }
    // None while the planner has reported no cell.
    CellCountBadge* cellCountBadge() const { return cellCount_; }
    QWidget& reviewCard() const { return *review_; }
    QCheckBox& diagnosticsToggle() const { return *diagnostics_; }
    QPushButton& startTrainingButton() const { return *startTraining_; }
    QWidget& materializingContent() const { return *materializing_; }
    LinearProgressBar& materializationBar() const { return *materializationBar_; }
    QLabel& materializationCounter() const { return *materializationCounter_; }
    // What a cancelled run left, in place of the planning progress.
    QLabel& cancelledNote() const { return *cancelledNote_; }

private:
    void buildProgress();
    void buildReview();
    void buildMaterializing();
    void refresh();
    void refreshStatus();
    void refreshProgress();
    void refreshReview();
    void refreshMaterializing();

    viewmodel::PipelineViewModel& model_;
    Phase phase_ = Phase::planningProgress;
    // The plan whose rows are on screen.
    viewmodel::PartitionPlanPointer shownPlan_;
    // The state whose header status is on screen, and whether the run was
    // cancelled in this step.
    std::optional<std::pair<pipeline::PipelineState::Kind, bool>> statusState_;

    PanelHeader* header_ = nullptr;
    QWidget* progress_ = nullptr;
    QLabel* phaseText_ = nullptr;
    QWidget* cellCountHolder_ = nullptr;
    CellCountBadge* cellCount_ = nullptr;
    QWidget* review_ = nullptr;
    MetricPill* cellsPill_ = nullptr;
    MetricPill* skippedPill_ = nullptr;
    MetricPill* budgetPill_ = nullptr;
    QHBoxLayout* verdictSlot_ = nullptr;
    QWidget* cellList_ = nullptr;
    QVBoxLayout* cellListLayout_ = nullptr;
    QCheckBox* diagnostics_ = nullptr;
    QPushButton* startTraining_ = nullptr;
    QWidget* materializing_ = nullptr;
    LinearProgressBar* materializationBar_ = nullptr;
    QLabel* materializationCounter_ = nullptr;
    QLabel* cancelledNote_ = nullptr;
};

}  // namespace tessaron::views
