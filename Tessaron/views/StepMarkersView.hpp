#pragma once

#include <QTimer>
#include <QWidget>

class QVariantAnimation;

#include <array>
#include <functional>

#include "pipeline/PipelineState.hpp"
#include "viewmodel/StepProgress.hpp"
#include "viewmodel/WorkflowStep.hpp"
#include "views/Icons.hpp"

namespace tessaron::views {

// The step bar: five step pills joined by short connectors. A finished step
// is green with a checkmark, the selected one expanded with its label and
// outlined, with its progress behind the label (a fill, or a moving band
// while the amount is unknown). A click selects a step.
class StepMarkersView : public QWidget {
public:
    explicit StepMarkersView(QWidget* parent = nullptr);

    void setSelectedStep(viewmodel::WorkflowStep step);
    viewmodel::WorkflowStep selectedStep() const { return selected_; }
    void setStatuses(const std::array<viewmodel::StepProgress, 5>& statuses);
    // The run's state, which decides which steps are done.
    void setState(const pipeline::PipelineState& state);
    // The step a cancelled run stopped in: while idle, the steps before it
    // are done, as they were when it ran.
    void setCancelledStep(std::optional<viewmodel::WorkflowStep> step);

    // Over the black 3D pictures the unfinished markers, their symbols and
    // the connectors take light colours, as visible there as the dark ones
    // are over the window's light background.
    void setOnDarkBackground(bool dark);
    bool isOnDarkBackground() const { return onDark_; }
    // The fill of an unfinished marker and the colour of its symbol.
    QColor pendingFill() const;
    QColor pendingSymbolColor() const;

    // Called when the user clicks a pill.
    std::function<void(viewmodel::WorkflowStep)> onStepClicked;

    static bool isDone(viewmodel::WorkflowStep step, const pipeline::PipelineState& state,
                       std::optional<viewmodel::WorkflowStep> cancelledStep = std::nullopt);
    static QString label(viewmodel::WorkflowStep step);
    static Symbol symbol(viewmodel::WorkflowStep step);
    // What a pill shows: its own symbol, or the checkmark of a done step
    // that is not selected.
    Symbol shownSymbol(viewmodel::WorkflowStep step) const;
    // The width of the selected pill's progress fill as drawn; none without
    // one. A new amount is eased to over 0.3 s.
    std::optional<double> fillWidth() const;
    // The fill's fraction as drawn, and its easing.
    double shownFraction() const { return shownFraction_; }
    QVariantAnimation* fillAnimation() const { return fill_; }
    bool isSweeping() const { return sweep_.isActive(); }

    // Where a pill lies, for clicks and tests. A new selection springs the
    // pills to their new widths, the bar staying centred where it is.
    QRect markerRect(viewmodel::WorkflowStep step) const;
    // How far a pill's label is in (1) or out (0); it fades and scales with
    // the spring.
    double labelPresence(viewmodel::WorkflowStep step) const { return shownLabels_[std::size_t(step)]; }
    QVariantAnimation* selectionAnimation() const { return selection_; }
    QSize sizeHint() const override;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    int markerWidth(viewmodel::WorkflowStep step) const;
    // The width a pill has once the selection has settled.
    int settledWidth(viewmodel::WorkflowStep step) const;
    // Shows the selection `progress` of the way from where the last change
    // found the pills to where they settle.
    void showSelection(double progress);
    const viewmodel::StepProgress& statusOf(viewmodel::WorkflowStep step) const;
    void refreshSweep();
    // Eases the drawn fraction towards the selected step's new amount; a
    // new selection shows its own amount at once.
    void refreshFill(bool animated);

    viewmodel::WorkflowStep selected_ = viewmodel::WorkflowStep::input;
    std::array<viewmodel::StepProgress, 5> statuses_{};
    pipeline::PipelineState state_;
    std::optional<viewmodel::WorkflowStep> cancelledStep_;
    bool onDark_ = false;
    QTimer sweep_;
    double shownFraction_ = 0;
    QVariantAnimation* fill_ = nullptr;
    QVariantAnimation* selection_ = nullptr;
    std::array<double, 5> fromWidths_{};
    std::array<double, 5> shownWidths_{};
    std::array<double, 5> fromLabels_{};
    std::array<double, 5> shownLabels_{};
};

}  // namespace tessaron::views
