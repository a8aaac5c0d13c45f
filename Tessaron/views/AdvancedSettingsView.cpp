#include "views/AdvancedSettingsView.hpp"

#include <QPainter>
#include <QVBoxLayout>

#include "views/COLMAPSettingsCard.hpp"
#include "views/DatasetDownscaleCard.hpp"
#include "views/FormWidgets.hpp"
#include "views/FrameExtractionCard.hpp"
#include "views/PartitioningCard.hpp"
#include "views/TrainingSettingsCard.hpp"

namespace tessaron::views {

using viewmodel::PipelineViewModel;

namespace {

// The disclosure's arrow (pointing down while open) and the label's symbol.
QIcon disclosureIcon(bool open) {
    const qreal scale = 2.0;
    QPixmap pixmap(QSize(38, 16) * scale);
    pixmap.setDevicePixelRatio(scale);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.translate(6, 8);
    if (open) painter.rotate(90);
    drawSymbol(painter, Symbol::chevronRight, QRectF(-6, -6, 12, 12), theme::color(theme::NamedColor::secondary));
    painter.resetTransform();
    drawSymbol(painter, Symbol::sliders, QRectF(20, 0, 16, 16), theme::color(theme::NamedColor::blue));
    painter.end();
    return QIcon(pixmap);
}

}  // namespace

AdvancedSettingsView::AdvancedSettingsView(PipelineViewModel& model, QWidget* parent)
    : QWidget(parent),
      model_(model),
      disclosure_(new QToolButton),
      column_(new QWidget),
      frameExtraction_(new FrameExtractionCard(model)),
      colmapSettings_(new COLMAPSettingsCard(model)),
      trainingSettings_(new TrainingSettingsCard(model)),
      datasetDownscale_(new DatasetDownscaleCard(model)),
      partitioning_(new PartitioningCard(model)) {
    setMaximumWidth(500);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);

    disclosure_->setText(QStringLiteral("Advanced Settings"));
    disclosure_->setFont(theme::font(theme::TextStyle::headline));
    disclosure_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    disclosure_->setIconSize(QSize(38, 16));
    disclosure_->setAutoRaise(true);
    disclosure_->setAccessibleName(QStringLiteral("Advanced Settings"));
    stack->addWidget(disclosure_, 0, Qt::AlignLeft);

    auto* column = new QVBoxLayout(column_);
    column->setContentsMargins(0, 8, 0, 0);
    column->setSpacing(24);
    tourAnchor(frameExtraction_, "input_advanced_extraction");
    tourAnchor(colmapSettings_, "input_advanced_colmap");
    tourAnchor(trainingSettings_, "input_advanced_training");
    tourAnchor(partitioning_, "input_advanced_vast");
    for (QWidget* card : std::initializer_list<QWidget*>{frameExtraction_, colmapSettings_, trainingSettings_,
                                                         datasetDownscale_, partitioning_})
        column->addWidget(card);
    stack->addWidget(column_);

    connect(disclosure_, &QToolButton::clicked, this, [this] { model_.setShowAdvanced(!model_.showAdvanced()); });
    connect(&model_, &PipelineViewModel::showAdvancedChanged, this, &AdvancedSettingsView::refresh);
    connect(&model_, &PipelineViewModel::isInputVideoChanged, this, &AdvancedSettingsView::refresh);
    refresh();
}

void AdvancedSettingsView::refresh() {
    const bool open = model_.showAdvanced();
    disclosure_->setIcon(disclosureIcon(open));
    column_->setVisible(open);
    frameExtraction_->setVisible(model_.isInputVideo());
}

}  // namespace tessaron::views
