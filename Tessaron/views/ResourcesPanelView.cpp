#include "views/ResourcesPanelView.hpp"

#include <QEvent>

#include <QHBoxLayout>
#include <QLabel>

#include <algorithm>

#include "views/PanelWidgets.hpp"

namespace tessaron::views {

using viewmodel::PipelineViewModel;

ResourcesPanelView::ResourcesPanelView(PipelineViewModel& model, QWidget* parent)
    : FloatingPanel(12, theme::Material::ultraThin, parent), model_(model) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(18, 10, 18, 10);
    row->setSpacing(18);
    row->addWidget(styledLabel(QStringLiteral("Resources").toUpper(), theme::TextStyle::caption2,
                               theme::NamedColor::secondary, theme::Weight::semibold),
                   0, Qt::AlignVCenter);
    ram_ = makeRow(Symbol::memoryChip, QStringLiteral("RAM"));
    cell_ = makeRow(Symbol::squareGrid3x3, QStringLiteral("Cell"));
    iteration_ = makeRow(Symbol::gauge, QStringLiteral("Iter"));
    for (const Row& each : {ram_, cell_, iteration_}) row->addWidget(each.row, 0, Qt::AlignVCenter);
    for (auto signal : {&PipelineViewModel::engineRamStringChanged, &PipelineViewModel::ramUsageStringChanged,
                        &PipelineViewModel::totalCellsChanged, &PipelineViewModel::currentCellIndexChanged,
                        &PipelineViewModel::currentStateChanged, &PipelineViewModel::iterationChanged,
                        &PipelineViewModel::currentCellTargetIterationsChanged,
                        &PipelineViewModel::trainingIterationsChanged})
        connect(&model_, signal, this, &ResourcesPanelView::refresh);
    refresh();
}

ResourcesPanelView::Row ResourcesPanelView::makeRow(Symbol symbol, const QString& label) {
    auto* row = new QWidget(this);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    layout->addWidget(new SymbolView(symbol, 11, theme::color(theme::NamedColor::secondary), row), 0, Qt::AlignVCenter);
    auto* name = styledLabel(label, theme::TextStyle::caption, theme::NamedColor::secondary);
    name->setWordWrap(false);
    layout->addWidget(name, 0, Qt::AlignVCenter);
    auto* value = new QLabel(row);
    // DejaVu's digits are all one width.
    value->setFont(theme::font(theme::TextStyle::callout, theme::Weight::semibold));
    layout->addWidget(value, 0, Qt::AlignVCenter);
    return {row, value};
}

QString ResourcesPanelView::ramValue(const viewmodel::OptionalText& engineRam, const QString& hostRam) {
    return engineRam ? *engineRam : hostRam;
}

std::optional<QString> ResourcesPanelView::cellValue(qint64 totalCells, qint64 currentCellIndex) {
    if (totalCells < 2) return std::nullopt;
    return QStringLiteral("%1 / %2").arg(std::max<qint64>(1, currentCellIndex)).arg(totalCells);
}

std::optional<QString> ResourcesPanelView::iterationValue(const pipeline::PipelineState& state, qint64 iteration,
                                                          const viewmodel::OptionalCount& cellTarget,
                                                          qint64 trainingIterations) {
    if (state.kind != pipeline::PipelineState::Kind::training) return std::nullopt;
    return QStringLiteral("%1 / %2").arg(iteration).arg(cellTarget.value_or(trainingIterations));
}

QString ResourcesPanelView::ramText() const { return ram_.value->text(); }

std::optional<QString> ResourcesPanelView::cellText() const {
    if (cell_.row->isHidden()) return std::nullopt;
    return cell_.value->text();
}

std::optional<QString> ResourcesPanelView::iterationText() const {
    if (iteration_.row->isHidden()) return std::nullopt;
    return iteration_.value->text();
}

void ResourcesPanelView::refresh() {
    ram_.value->setText(ramValue(model_.engineRamString(), model_.ramUsageString()));
    const auto cell = cellValue(model_.totalCells(), model_.currentCellIndex());
    cell_.value->setText(cell.value_or(QString()));
    cell_.row->setVisible(cell.has_value());
    const auto iteration = iterationValue(model_.currentState(), model_.iteration(),
                                          model_.currentCellTargetIterations(), model_.trainingIterations());
    iteration_.value->setText(iteration.value_or(QString()));
    iteration_.row->setVisible(iteration.has_value());
    adjustSize();
    emit contentChanged();
}

bool ResourcesPanelView::event(QEvent* event) {
    const bool handled = QWidget::event(event);
    // A longer figure reaches the strip's layout only with the layout request
    // its label posts; placed before that, the strip would cut the figure.
    if (event->type() == QEvent::LayoutRequest && size() != sizeHint()) {
        adjustSize();
        emit contentChanged();
    }
    return handled;
}

}  // namespace tessaron::views
