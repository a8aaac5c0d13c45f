#include "views/FrameExtractionCard.hpp"

#include "core/NumberText.hpp"
#include "views/FormWidgets.hpp"

namespace tessaron::views {

using theme::NamedColor;
using theme::TextStyle;
using viewmodel::PipelineViewModel;

FrameExtractionCard::FrameExtractionCard(PipelineViewModel& model, QWidget* parent)
    : SettingsSection(QStringLiteral("Frame Extraction"), parent),
      model_(model),
      rate_(new SliderRow(QStringLiteral("Extract 1 frame every:"), 1, 60, 1, 80,
                          [](double rate) {
                              return QString::fromStdString(core::countedNoun(qint64(rate), "frame"));
                          })),
      sharpness_(new QCheckBox(QStringLiteral("Sharpness Filter"))),
      threshold_(new SliderRow(QStringLiteral("Threshold:"), 10, 200, 5, 40,
                               [](double threshold) { return QString::asprintf("%.0f", threshold); })),
      thresholdNote_(styledLabel(QStringLiteral("Higher = stricter (more blurry frames discarded)"),
                                 TextStyle::caption2, NamedColor::secondary)) {
    sharpness_->setFont(theme::font(TextStyle::callout));
    addRow(rate_);
    addRow(divider());
    addRow(sharpness_);
    addRow(threshold_);
    addRow(thresholdNote_);

    connect(rate_, &SliderRow::valueEdited, this, [this](double rate) {
        model_.setFrameExtractionRate(qint64(rate));
        // Each new rate measures the video again: the frame count follows it.
        model_.analyzeInput();
    });
    connect(sharpness_, &QCheckBox::toggled, &model_, &PipelineViewModel::setSharpnessFilterEnabled);
    connect(threshold_, &SliderRow::valueEdited, &model_, &PipelineViewModel::setSharpnessThreshold);
    for (auto changed :
         {&PipelineViewModel::frameExtractionRateChanged, &PipelineViewModel::sharpnessFilterEnabledChanged,
          &PipelineViewModel::sharpnessThresholdChanged})
        connect(&model_, changed, this, &FrameExtractionCard::refresh);
    refresh();
}

void FrameExtractionCard::refresh() {
    rate_->setValue(double(model_.frameExtractionRate()));
    sharpness_->setChecked(model_.sharpnessFilterEnabled());
    threshold_->setValue(model_.sharpnessThreshold());
    threshold_->setVisible(model_.sharpnessFilterEnabled());
    thresholdNote_->setVisible(model_.sharpnessFilterEnabled());
}

}  // namespace tessaron::views
