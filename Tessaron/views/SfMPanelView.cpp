#include "views/SfMPanelView.hpp"

#include <QVBoxLayout>

#include "views/PanelWidgets.hpp"

namespace tessaron::views {

using Kind = pipeline::PipelineState::Kind;
using viewmodel::WorkflowStep;

SfMPanelView::SfMPanelView(viewmodel::PipelineViewModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    auto* column = panelColumn(this);
    header_ = new PanelHeader(QStringLiteral("Structure from Motion"), this);
    column->addWidget(header_);
    column->addWidget(styledLabel(QStringLiteral("COLMAP extracts features, matches them across images, and "
                                                 "reconstructs 3D camera poses. The reconstruction emerges in the "
                                                 "background."),
                                  theme::TextStyle::callout, theme::NamedColor::secondary));
    connect(&model_, &viewmodel::PipelineViewModel::currentStateChanged, this, &SfMPanelView::refresh);
    connect(&model_, &viewmodel::PipelineViewModel::cancelledRunChanged, this, &SfMPanelView::refresh);
    refresh();
}

void SfMPanelView::refresh() {
    const pipeline::PipelineState& state = model_.currentState();
    const auto* badge = qobject_cast<StatusBadge*>(header_->trailing());
    if (viewmodel::workflowStep(state) == WorkflowStep::sfm) {
        if (!badge || !badge->isRunning()) header_->setTrailing(runningBadge(QStringLiteral("Running\u2026")));
    } else if (viewmodel::isStepFinished(WorkflowStep::sfm, state)) {
        if (!badge || badge->isRunning()) header_->setTrailing(completeBadge());
    } else if (const auto& cancelled = model_.cancelledRun();
               state.kind == Kind::idle && cancelled && cancelled->step == WorkflowStep::sfm) {
        if (!badge || badge->text() != QStringLiteral("Cancelled")) header_->setTrailing(cancelledBadge());
    } else {
        header_->setTrailing(nullptr);
    }
}

}  // namespace tessaron::views
