#include "views/TrainingPanelView.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <limits>

#include "views/MetricPill.hpp"
#include "views/PanelControls.hpp"
#include "views/PanelWidgets.hpp"

namespace tessaron::views {
namespace {

using Kind = pipeline::PipelineState::Kind;
using theme::NamedColor;
using theme::TextStyle;

QWidget* pillRow(std::initializer_list<MetricPill*> pills, QWidget* row) {
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    for (MetricPill* pill : pills) {
        pill->setParent(row);
        layout->addWidget(pill, 0, Qt::AlignVCenter);
    }
    layout->addStretch(1);
    return row;
}

}  // namespace

TrainingPanelView::TrainingPanelView(viewmodel::PipelineViewModel& model, QWidget* parent)
    : QWidget(parent), model_(model) {
    QVBoxLayout* column = panelColumn(this);
    header_ = new PanelHeader(QStringLiteral("Training"), this);
    column->addWidget(header_);

    cellPill_ = new MetricPill(QStringLiteral("Cell"), {});
    iterationPill_ = new MetricPill(QStringLiteral("Iter"), {});
    column->addWidget(pillRow({cellPill_, iterationPill_}, new QWidget(this)));
    splatsPill_ = new MetricPill(QStringLiteral("Splats"), {});
    speedPill_ = new MetricPill(QStringLiteral("Speed"), {});
    column->addWidget(pillRow({splatsPill_, speedPill_}, new QWidget(this)));

    progressBlock_ = new QWidget(this);
    auto* block = new QVBoxLayout(progressBlock_);
    block->setContentsMargins(0, 4, 0, 0);
    block->setSpacing(6);
    cellBar_ = new LinearProgressBar(progressBlock_);
    overallBar_ = new LinearProgressBar(progressBlock_);
    overallBar_->setTint(theme::color(NamedColor::green));
    eta_ = styledLabel({}, TextStyle::caption2, NamedColor::secondary, theme::Weight::regular, progressBlock_);
    block->addWidget(cellBar_);
    block->addWidget(overallBar_);
    block->addWidget(eta_);
    column->addWidget(progressBlock_);

    cancelledNote_ = styledLabel({}, TextStyle::callout, NamedColor::secondary, theme::Weight::regular, this);
    cancelledNote_->setWordWrap(true);
    column->addWidget(cancelledNote_);

    cellsCaption_ = styledLabel(tr("Finished cells dim; the cell training now is highlighted in the background."),
                                TextStyle::caption2, NamedColor::secondary, theme::Weight::regular, this);
    column->addWidget(cellsCaption_);

    using Model = viewmodel::PipelineViewModel;
    for (auto signal : {&Model::currentStateChanged, &Model::totalCellsChanged, &Model::currentCellIndexChanged,
                        &Model::iterationChanged, &Model::currentCellTargetIterationsChanged,
                        &Model::trainingIterationsChanged, &Model::splatCountChanged, &Model::msPerStepChanged,
                        &Model::completedCellDurationsChanged, &Model::estimatedTimeRemainingChanged,
                        &Model::cancelledRunChanged, &Model::partitionPlanChanged})
        connect(&model_, signal, this, &TrainingPanelView::refresh);
    refresh();
}

QString TrainingPanelView::formatCount(int64_t count) {
    if (count < 1000) return QString::number(count);
    if (count < 1000000) return QString::asprintf("%.1fK", double(count) / 1000.0);
    return QString::asprintf("%.2fM", double(count) / 1000000.0);
}

QString TrainingPanelView::formatDuration(double seconds) {
    // The estimate is always finite and small; anything else has no duration to show.
    const double rounded = std::round(seconds);
    if (!std::isfinite(rounded) || std::fabs(rounded) > double(std::numeric_limits<int64_t>::max() / 2))
        return QStringLiteral("\u2014");
    const auto whole = static_cast<long long>(rounded);
    if (whole < 60) return QString::asprintf("%llds", whole);
    if (whole < 3600) return QString::asprintf("%lldm %02llds", whole / 60, whole % 60);
    return QString::asprintf("%lldh %02lldm", whole / 3600, (whole % 3600) / 60);
}

void TrainingPanelView::refresh() {
    const Kind state = model_.currentState().kind;
    const viewmodel::OptionalCancelledRun& cancelled = model_.cancelledRun();
    Status status = Status::none;
    if (viewmodel::workflowStep(model_.currentState()) == viewmodel::WorkflowStep::training)
        status = Status::running;
    else if (viewmodel::isStepFinished(viewmodel::WorkflowStep::training, model_.currentState()))
        status = Status::complete;
    else if (cancelled && cancelled->step == viewmodel::WorkflowStep::training)
        status = Status::cancelled;
    if (status != shownStatus_) {
        shownStatus_ = status;
        switch (status) {
        case Status::none: header_->setTrailing(nullptr); break;
        case Status::running: header_->setTrailing(runningBadge(tr("Training…"))); break;
        case Status::complete: header_->setTrailing(completeBadge()); break;
        case Status::cancelled: header_->setTrailing(cancelledBadge()); break;
        }
    }
    // The counters stay as the run left them; the note says it will not go on.
    cancelledNote_->setVisible(cancelled.has_value());
    if (cancelled) cancelledNote_->setText(cancelled->note());

    const qint64 totalCells = model_.totalCells();
    const bool partitioned = totalCells >= 2;
    const qint64 target = model_.currentCellTargetIterations().value_or(model_.trainingIterations());
    cellPill_->setVisible(partitioned);
    // A model trained whole has no cells to dim or highlight.
    const viewmodel::PartitionPlanPointer& plan = model_.partitionPlan();
    cellsCaption_->setVisible(partitioned || (plan && plan->cells.size() >= 2));
    cellPill_->setValue(QString::number(std::max<qint64>(model_.currentCellIndex(), 1)) + QStringLiteral(" / ") +
                        QString::number(totalCells));
    iterationPill_->setValue(QString::number(model_.iteration()) + QStringLiteral(" / ") + QString::number(target));
    splatsPill_->setValue(formatCount(model_.splatCount()));
    speedPill_->setValue(QString::asprintf("%.1f ms", double(model_.msPerStep())));

    progressBlock_->setVisible(state == Kind::training && model_.trainingIterations() >= 1);
    const double iteration = double(model_.iteration());
    cellBar_->setProgress(iteration, double(target));
    overallBar_->setVisible(partitioned);
    const double cellFraction = std::min(iteration / double(std::max<qint64>(target, 1)), 1.0);
    overallBar_->setProgress(double(model_.completedCellDurations().size()) + cellFraction, double(totalCells));
    const viewmodel::OptionalSeconds remaining = model_.estimatedTimeRemaining();
    eta_->setVisible(remaining.has_value());
    if (remaining) eta_->setText(tr("ETA: ~") + formatDuration(*remaining) + tr(" remaining"));
}

}  // namespace tessaron::views
