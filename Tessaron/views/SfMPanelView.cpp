#include "views/SfMPanelView.hpp"

#include <QVBoxLayout>

#include "views/PanelWidgets.hpp"

namespace tessaron::views {

using Kind = pipeline::PipelineState::Kind;

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
    switch (model_.currentState().kind) {
    case Kind::processingSfM:
        if (!qobject_cast<StatusBadge*>(header_->trailing()) ||
            !static_cast<StatusBadge*>(header_->trailing())->isRunning())
            header_->setTrailing(runningBadge(QStringLiteral("Running\u2026")));
        break;
    case Kind::preparingData:
    case Kind::awaitingPartitionApproval:
    case Kind::materializingCells:
    case Kind::training:
    case Kind::exporting:
    case Kind::completed:
        if (!qobject_cast<StatusBadge*>(header_->trailing()) ||
            static_cast<StatusBadge*>(header_->trailing())->isRunning())
            header_->setTrailing(completeBadge());
        break;
    case Kind::idle:
        if (const auto& cancelled = model_.cancelledRun(); cancelled && cancelled->step == viewmodel::WorkflowStep::sfm) {
            if (!qobject_cast<StatusBadge*>(header_->trailing()) ||
                static_cast<StatusBadge*>(header_->trailing())->text() != QStringLiteral("Cancelled"))
                header_->setTrailing(cancelledBadge());
        } else {
            header_->setTrailing(nullptr);
        }
        break;
    case Kind::extractingFrames:
    case Kind::error: header_->setTrailing(nullptr); break;
    }
}

}  // namespace tessaron::views
