#include "views/PlanningPanelView.hpp"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "core/NumberText.hpp"
#include "viewer/ElidedLabel.hpp"
#include "views/CellCountBadge.hpp"
#include "views/MetricPill.hpp"
#include "views/PanelControls.hpp"
#include "views/PanelWidgets.hpp"

namespace tessaron::views {
namespace {

using Kind = pipeline::PipelineState::Kind;
using theme::NamedColor;
using theme::TextStyle;

constexpr const char* middleDot = " \u00b7 ";

// The coloured dot that ties a row to its cell in the partition view.
class CellDot : public QWidget {
public:
    CellDot(const QColor& color, QWidget* parent) : QWidget(parent), color_(color) { setFixedSize(10, 10); }
    QColor color() const { return color_; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(color_);
        painter.drawEllipse(QRectF(rect()));
    }

private:
    QColor color_;
};

// One cell of the plan: its dot, name and budget, then its size at the
// trailing edge. When the panel is too narrow for one line, the size moves
// to a line of its own, still at the trailing edge, so that every figure
// stays whole.
class CellRow : public QWidget {
public:
    CellRow(int64_t index, const PlanningPanelView::CellRowTexts& texts, QWidget* parent) : QWidget(parent) {
        setObjectName(texts.name);
        dot_ = new CellDot(theme::cellColor(index), this);
        name_ = monospacedLabel(texts.name, TextStyle::caption, NamedColor::primary, theme::Weight::bold, this);
        budget_ = monospacedLabel(texts.budget, TextStyle::caption, NamedColor::primary, theme::Weight::regular, this);
        size_ = new viewer::ElidedLabel(texts.size, 1, this);
        size_->setObjectName(QStringLiteral("size"));
        size_->setFont(theme::font(TextStyle::caption2));
        QPalette palette = size_->palette();
        palette.setColor(QPalette::WindowText, theme::color(NamedColor::secondary));
        size_->setPalette(palette);
        QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
        policy.setHeightForWidth(true);
        setSizePolicy(policy);
    }

    // Whether the size shares the line with the budget at `width`.
    bool fitsOnOneLine(int width) const { return oneLineWidth() <= width; }

    QSize sizeHint() const override { return QSize(oneLineWidth(), lineHeight()); }
    QSize minimumSizeHint() const override { return QSize(leadingWidth(), lineHeight()); }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override {
        return fitsOnOneLine(width) ? lineHeight() : lineHeight() + lineGap + size_->sizeHint().height();
    }

protected:
    void resizeEvent(QResizeEvent*) override {
        const int line = lineHeight();
        int x = 0;
        auto place = [&](QWidget* child, QSize size) {
            child->setGeometry(x, (line - size.height()) / 2, size.width(), size.height());
            x += size.width() + spacing;
        };
        place(dot_, dot_->size());
        place(name_, name_->sizeHint());
        place(budget_, budget_->sizeHint());
        const int sizeWidth = std::min(size_->sizeHint().width(), width());
        const int sizeHeight = size_->sizeHint().height();
        if (fitsOnOneLine(width()))
            size_->setGeometry(width() - sizeWidth, (line - sizeHeight) / 2, sizeWidth, sizeHeight);
        else
            size_->setGeometry(width() - sizeWidth, line + lineGap, sizeWidth, sizeHeight);
    }

private:
    static constexpr int spacing = 8;
    static constexpr int minimumGap = 4;
    static constexpr int lineGap = 2;

    int leadingWidth() const {
        return dot_->width() + spacing + name_->sizeHint().width() + spacing + budget_->sizeHint().width();
    }
    int oneLineWidth() const { return leadingWidth() + spacing + minimumGap + size_->sizeHint().width(); }
    int lineHeight() const {
        return std::max({dot_->height(), name_->sizeHint().height(), budget_->sizeHint().height(),
                         size_->sizeHint().height()});
    }

    CellDot* dot_;
    QLabel* name_;
    QLabel* budget_;
    viewer::ElidedLabel* size_;
};

// A symbol and a title side by side, as the review and materialisation
// contents begin.
QWidget* contentTitle(Symbol symbol, const QString& title, QWidget* parent) {
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new SymbolView(symbol, 17, theme::color(NamedColor::blue), row), 0, Qt::AlignVCenter);
    QLabel* text = styledLabel(title, TextStyle::headline, NamedColor::primary, theme::Weight::regular, row);
    text->setWordWrap(false);
    layout->addWidget(text, 0, Qt::AlignVCenter);
    layout->addStretch(1);
    return row;
}

}  // namespace

PlanningPanelView::PlanningPanelView(viewmodel::PipelineViewModel& model, QWidget* parent)
    : QWidget(parent), model_(model) {
    QVBoxLayout* column = panelColumn(this);
    header_ = new PanelHeader(QStringLiteral("Planning"), this);
    column->addWidget(header_);
    buildProgress();
    buildReview();
    buildMaterializing();
    cancelledNote_ = styledLabel({}, TextStyle::callout, NamedColor::secondary, theme::Weight::regular, this);
    cancelledNote_->setWordWrap(true);
    column->addWidget(cancelledNote_);
    column->addWidget(progress_);
    column->addWidget(review_);
    column->addWidget(materializing_);

    using Model = viewmodel::PipelineViewModel;
    for (auto signal : {&Model::currentStateChanged, &Model::partitionPlanChanged, &Model::partitionProgressChanged,
                        &Model::materializedCellCountChanged, &Model::materializationTotalCellsChanged,
                        &Model::diagnosticsEnabledChanged, &Model::cancelledRunChanged})
        connect(&model_, signal, this, &PlanningPanelView::refresh);
    refresh();
}

void PlanningPanelView::buildProgress() {
    // Its three children sit in the panel's column, spaced as the panel's own.
    progress_ = new QWidget(this);
    auto* column = new QVBoxLayout(progress_);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(16);
    column->addWidget(styledLabel(
        QStringLiteral("Computing the VastGaussian partition from the reconstruction and your RAM budget. The Voronoi "
                       "cells fill in behind this panel as they're decided."),
        TextStyle::callout, NamedColor::secondary, theme::Weight::regular, progress_));

    auto* row = new QWidget(progress_);
    auto* rowLayout = new QHBoxLayout(row);
    rowLayout->setContentsMargins(0, 4, 0, 0);
    rowLayout->setSpacing(8);
    rowLayout->addWidget(new ActivitySpinner(row), 0, Qt::AlignVCenter);
    phaseText_ = styledLabel({}, TextStyle::callout, NamedColor::secondary, theme::Weight::regular, row);
    rowLayout->addWidget(phaseText_, 1, Qt::AlignVCenter);
    column->addWidget(row);

    cellCountHolder_ = new QWidget(progress_);
    // The badge itself comes with the first count: it pulses on changes, not on its first showing.
    auto* badgeLayout = new QVBoxLayout(cellCountHolder_);
    badgeLayout->setContentsMargins(0, 2, 0, 0);
    column->addWidget(cellCountHolder_);
}

void PlanningPanelView::buildReview() {
    review_ = new RoundedCard(10, theme::color(NamedColor::blue, 0.05), theme::color(NamedColor::blue, 0.2), this);
    auto* column = new QVBoxLayout(review_);
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(12);
    column->addWidget(contentTitle(Symbol::squareGrid3x3, QStringLiteral("Partition Plan Ready"), review_));

    auto* pills = new QWidget(review_);
    auto* pillsLayout = new QHBoxLayout(pills);
    pillsLayout->setContentsMargins(0, 0, 0, 0);
    pillsLayout->setSpacing(12);
    cellsPill_ = new MetricPill(QStringLiteral("Cells"), {}, pills);
    skippedPill_ = new MetricPill(QStringLiteral("Skipped"), {}, pills);
    budgetPill_ = new MetricPill(QStringLiteral("Budget"), {}, pills);
    for (MetricPill* pill : {cellsPill_, skippedPill_, budgetPill_}) pillsLayout->addWidget(pill, 0, Qt::AlignVCenter);
    pillsLayout->addStretch(1);
    column->addWidget(pills);

    verdictSlot_ = new QHBoxLayout;
    verdictSlot_->setContentsMargins(0, 0, 0, 0);
    column->addLayout(verdictSlot_);

    cellList_ = new QWidget(review_);
    cellListLayout_ = new QVBoxLayout(cellList_);
    cellListLayout_->setContentsMargins(0, 4, 0, 4);
    cellListLayout_->setSpacing(6);
    column->addWidget(cellList_);

    auto* toggle = new QWidget(review_);
    auto* toggleLayout = new QVBoxLayout(toggle);
    toggleLayout->setContentsMargins(0, 4, 0, 4);
    toggleLayout->setSpacing(2);
    diagnostics_ = new QCheckBox(QStringLiteral("Run with full diagnostics"), toggle);
    diagnostics_->setFont(theme::font(TextStyle::subheadline));
    toggleLayout->addWidget(diagnostics_);
    // The engine trains on the CPU: it has stages to profile, no GPU.
    QLabel* detail = styledLabel(diagnosticsDetailText(),
                                 TextStyle::caption, NamedColor::secondary, theme::Weight::regular, toggle);
    // Under the box's text, not under the box.
    detail->setIndent(diagnostics_->style()->pixelMetric(QStyle::PM_IndicatorWidth) +
                      diagnostics_->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing));
    toggleLayout->addWidget(detail);
    column->addWidget(toggle);
    // Only the user's clicks write the setting; the view model's signal sets the box.
    connect(diagnostics_, &QCheckBox::clicked, this, [this](bool checked) { model_.setDiagnosticsEnabled(checked); });

    startTraining_ = new QPushButton(QStringLiteral("Start Training"), review_);
    startTraining_->setIcon(symbolIcon(Symbol::playFill, QSize(14, 14), Qt::white));
    styleProminentButton(*startTraining_, theme::color(NamedColor::blue), true);
    startTraining_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    column->addWidget(startTraining_);
    connect(startTraining_, &QPushButton::clicked, this, &PlanningPanelView::approvePlan);
}

void PlanningPanelView::buildMaterializing() {
    materializing_ = new QWidget(this);
    auto* column = new QVBoxLayout(materializing_);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(12);
    column->addWidget(
        contentTitle(Symbol::squareSplitBottomRightQuarter, QStringLiteral("Partitioning Cells"), materializing_));
    column->addWidget(styledLabel(QStringLiteral("Writing each cell's COLMAP subset to disk. Training starts "
                                                 "automatically as soon as the cells are ready."),
                                  TextStyle::callout, NamedColor::secondary, theme::Weight::regular, materializing_));
    materializationBar_ = new LinearProgressBar(materializing_);
    column->addWidget(materializationBar_);
    materializationCounter_ =
        monospacedLabel({}, TextStyle::caption, NamedColor::secondary, theme::Weight::regular, materializing_);
    column->addWidget(materializationCounter_);
}

void PlanningPanelView::approvePlan() { model_.approvePlan(); }

QString PlanningPanelView::diagnosticsDetailText() {
    return QStringLiteral("Adds per\u2011iter timing and a per\u2011stage CPU profile. Slightly slower.");
}

PlanningPanelView::CellRowTexts PlanningPanelView::cellRowTexts(int64_t index, const partition::PartitionCell& cell,
                                                                const partition::PartitionPlan& plan) {
    const QString dot = QString::fromUtf8(middleDot);
    CellRowTexts texts;
    texts.name = QStringLiteral("cell_") + QString::number(index);
    texts.budget = QStringLiteral("cap ") + QString::number(cell.recommendedCapMax / 1000) + QStringLiteral("K") + dot +
                   QString::number(cell.recommendedIterations / 1000) + QStringLiteral("K it") + dot +
                   QString::asprintf("%.1f", cell.estimatedMemoryGB) + QStringLiteral(" GB");
    const QString points = QString::number(cell.pointCount / 1000) + QStringLiteral("K pts");
    texts.size = QString::number(cell.imageCount) + QStringLiteral(" img") + dot;
    const int64_t viewsPerFrame = plan.viewsPerFrame.value_or(1);
    if (viewsPerFrame >= 2)
        texts.size += QString::fromStdString(core::countedNoun(cell.imageCount / viewsPerFrame, "frame")) + dot;
    texts.size += points;
    return texts;
}

bool PlanningPanelView::exceedsBudget(const partition::PartitionPlan& plan) {
    return std::any_of(plan.cells.begin(), plan.cells.end(),
                       [&](const partition::PartitionCell& cell) { return cell.estimatedMemoryGB > plan.budgetGB; });
}

void PlanningPanelView::refresh() {
    const Kind state = model_.currentState().kind;
    if (state == Kind::awaitingPartitionApproval && model_.partitionPlan())
        phase_ = Phase::planReview;
    else if (state == Kind::materializingCells)
        phase_ = Phase::materializing;
    else
        phase_ = Phase::planningProgress;
    refreshStatus();
    // A cancelled run plans nothing more: its note replaces the spinner.
    const viewmodel::OptionalCancelledRun& cancelled = model_.cancelledRun();
    cancelledNote_->setVisible(cancelled.has_value());
    if (cancelled) cancelledNote_->setText(cancelled->note());
    progress_->setVisible(phase_ == Phase::planningProgress && !cancelled);
    review_->setVisible(phase_ == Phase::planReview);
    materializing_->setVisible(phase_ == Phase::materializing);
    refreshProgress();
    refreshReview();
    refreshMaterializing();
}

void PlanningPanelView::refreshStatus() {
    const Kind state = model_.currentState().kind;
    const viewmodel::OptionalCancelledRun& cancelled = model_.cancelledRun();
    const bool cancelledHere = cancelled && cancelled->step == viewmodel::WorkflowStep::planning;
    if (statusState_ == std::pair(state, cancelledHere)) return;
    statusState_ = std::pair(state, cancelledHere);
    if (state == Kind::preparingData)
        header_->setTrailing(runningBadge(tr("Planning…")));
    else if (state == Kind::awaitingPartitionApproval)
        header_->setTrailing(statusBadge(Symbol::handRaisedFill, NamedColor::orange, tr("Review Plan")));
    else if (state == Kind::materializingCells)
        header_->setTrailing(runningBadge(tr("Partitioning…")));
    else if (viewmodel::isStepFinished(viewmodel::WorkflowStep::planning, model_.currentState()))
        header_->setTrailing(completeBadge());
    else
        header_->setTrailing(state == Kind::idle && cancelledHere ? cancelledBadge() : nullptr);
}

void PlanningPanelView::refreshProgress() {
    const viewmodel::OptionalPartitionProgress& progress = model_.partitionProgress();
    phaseText_->setText(progress ? QString::fromStdString(progress->phase) : QStringLiteral("Preparing…"));
    const bool showsCount = progress && progress->cellCount >= 1;
    cellCountHolder_->setVisible(showsCount);
    if (!showsCount) {
        delete cellCount_;
        cellCount_ = nullptr;
    } else if (cellCount_) {
        cellCount_->setCount(progress->cellCount);
    } else {
        cellCount_ = new CellCountBadge(progress->cellCount, cellCountHolder_);
        cellCountHolder_->layout()->addWidget(cellCount_);
        cellCount_->show();
    }
}

void PlanningPanelView::refreshReview() {
    diagnostics_->setChecked(model_.diagnosticsEnabled());
    const viewmodel::PartitionPlanPointer& plan = model_.partitionPlan();
    if (!plan || plan == shownPlan_) return;
    shownPlan_ = plan;
    cellsPill_->setValue(QString::number(plan->trainableCells().size()));
    skippedPill_->setValue(QString::number(plan->skippedCells().size()));
    budgetPill_->setValue(QString::asprintf("%.1f GB", plan->budgetGB));
    auto clear = [](QLayout& layout) {
        while (QLayoutItem* item = layout.takeAt(0)) {
            delete item->widget();
            delete item;
        }
    };
    clear(*verdictSlot_);
    StatusBadge* verdict = exceedsBudget(*plan)
                               ? statusBadge(Symbol::exclamationmarkTriangleFill, NamedColor::orange,
                                             QStringLiteral("Some cells exceed budget — swap may be used"), review_)
                               : statusBadge(Symbol::checkmarkCircleFill, NamedColor::green,
                                             QStringLiteral("All cells fit within RAM budget"), review_);
    verdictSlot_->addWidget(verdict, 0, Qt::AlignLeft);
    verdictSlot_->addStretch(1);
    verdict->show();

    clear(*cellListLayout_);
    for (size_t index = 0; index < plan->cells.size(); ++index) {
        auto* row = new CellRow(int64_t(index), cellRowTexts(int64_t(index), plan->cells[index], *plan), cellList_);
        cellListLayout_->addWidget(row);
        // At once, not with the layout's deferred show: the card may be on screen already.
        row->show();
    }
}

void PlanningPanelView::refreshMaterializing() {
    const qint64 written = model_.materializedCellCount();
    const qint64 total = model_.materializationTotalCells();
    materializationBar_->setProgress(double(written), double(std::max<qint64>(total, 1)));
    materializationCounter_->setText(QString::number(written) + QStringLiteral(" / ") + QString::number(total) +
                                     QStringLiteral(" cells written"));
}

}  // namespace tessaron::views
