#include "views/PartitioningCard.hpp"

#include <QVBoxLayout>

#include "pipeline/RunReport.hpp"
#include "views/InputFormText.hpp"

namespace tessaron::views {

using theme::NamedColor;
using theme::TextStyle;
using viewmodel::PipelineViewModel;

bool PartitioningCard::isCompactScene(const viewmodel::OptionalSceneAnalysis& analysis) {
    return analysis && analysis->imageOverlapScore > 0.7;
}

PartitioningCard::PartitioningCard(PipelineViewModel& model, QWidget* parent)
    : SettingsSection(QStringLiteral("VastGaussian Partitioning"), parent),
      model_(model),
      enable_(new QCheckBox(QStringLiteral("Enable VastGaussian"))),
      limit_(new QWidget),
      memory_(new SliderRow(
          QStringLiteral("App Memory Limit:"), 4, InputFormText::memoryLimitMaximum(model.physicalMemoryBytes()), 1, 50,
          // The run report's text of the same value.
          [](double gigabytes) { return QString::fromStdString(pipeline::RunReport::memoryLimitText(gigabytes)); })),
      compact_(
          new NoticeBox(Symbol::exclamationmarkTriangleFill, theme::color(NamedColor::orange),
                        QStringLiteral("This scene is compact. Partitioning will not significantly reduce memory."),
                        theme::color(NamedColor::orange), Qt::AlignVCenter)) {
    enable_->setFont(theme::font(TextStyle::callout));
    addRow(enable_);
    auto* limit = new QVBoxLayout(limit_);
    limit->setContentsMargins(0, 0, 0, 0);
    limit->setSpacing(8);
    limit->addWidget(
        styledLabel(QStringLiteral("After SfM the model size is split across the fewest cells that fit the "
                                   "RAM limit below."),
                    TextStyle::caption2, NamedColor::secondary));
    limit->addWidget(memory_);
    limit->addWidget(
        styledLabel(QStringLiteral("The maximum RAM the app is allowed to use. Lower this to keep RAM free "
                                   "for other apps."),
                    TextStyle::caption2, NamedColor::secondary));
    addRow(limit_);
    addRow(compact_);

    connect(enable_, &QCheckBox::toggled, &model_, &PipelineViewModel::setUseVastGaussian);
    connect(memory_, &SliderRow::valueEdited, &model_, &PipelineViewModel::setRamLimitGB);
    for (auto changed : {&PipelineViewModel::useVastGaussianChanged, &PipelineViewModel::ramLimitGBChanged,
                         &PipelineViewModel::sceneAnalysisChanged})
        connect(&model_, changed, this, &PartitioningCard::refresh);
    refresh();
}

void PartitioningCard::refresh() {
    enable_->setChecked(model_.useVastGaussian());
    limit_->setVisible(model_.useVastGaussian());
    memory_->setMaximum(InputFormText::memoryLimitMaximum(model_.physicalMemoryBytes()));
    memory_->setValue(model_.ramLimitGB());
    compact_->setVisible(isCompactScene(model_.sceneAnalysis()));
}

}  // namespace tessaron::views
