#include "views/DatasetDownscaleCard.hpp"

#include <QHBoxLayout>

#include "views/InputFormText.hpp"

namespace tessaron::views {

using theme::NamedColor;
using theme::TextStyle;
using viewmodel::PipelineViewModel;

DatasetDownscaleCard::DatasetDownscaleCard(PipelineViewModel& model, QWidget* parent)
    : SettingsSection(QStringLiteral("Dataset & Downscale"), parent),
      model_(model),
      facts_(new QWidget),
      imageCount_(new SymbolLabel(Symbol::photoStack, theme::color(NamedColor::blue), {},
                                  theme::font(TextStyle::callout), theme::color(NamedColor::primary))),
      resolution_(new SymbolLabel(Symbol::arrowsOutward, theme::color(NamedColor::blue), {},
                                  theme::font(TextStyle::callout), theme::color(NamedColor::primary))),
      downscale_(new SegmentedPicker(QStringLiteral("Downscale Factor"))),
      analyzing_(new QWidget),
      failed_(
          styledLabel(QStringLiteral("Couldn't analyze this dataset."), TextStyle::callout, NamedColor::secondary)) {
    auto* facts = new QVBoxLayout(facts_);
    facts->setContentsMargins(0, 0, 0, 0);
    facts->setSpacing(8);
    auto* counts = new QHBoxLayout;
    counts->setSpacing(16);
    counts->addWidget(imageCount_);
    counts->addWidget(resolution_);
    counts->addStretch(1);
    facts->addLayout(counts);
    facts->addWidget(divider());
    auto* block = new QVBoxLayout;
    block->setSpacing(6);
    block->addWidget(
        styledLabel(QStringLiteral("Downscale Factor"), TextStyle::callout, NamedColor::primary, theme::Weight::bold));
    downscale_->addChoice(QStringLiteral("Auto"), 0);
    for (int factor : downscaleFactors) downscale_->addChoice(QString::number(factor) + u'\u00d7', factor);
    block->addWidget(downscale_);
    block->addWidget(
        styledLabel(QStringLiteral("Auto picks 4\u00d7 for inputs above 4 MP, 2\u00d7 below. Watch the live "
                                   "RAM bar at the top \u2014 if trevik creeps near your physical RAM, "
                                   "raise the downscale factor."),
                    TextStyle::caption2, NamedColor::secondary));
    facts->addLayout(block);
    addRow(facts_);

    auto* analyzing = new QHBoxLayout(analyzing_);
    analyzing->setContentsMargins(0, 0, 0, 0);
    analyzing->setSpacing(8);
    analyzing->addWidget(new ActivitySpinner);
    analyzing->addWidget(
        styledLabel(QStringLiteral("Analyzing dataset..."), TextStyle::callout, NamedColor::secondary));
    analyzing->addStretch(1);
    addRow(analyzing_);
    // An analysis that ended without a profile says so instead of spinning on.
    addRow(failed_);

    connect(downscale_, &SegmentedPicker::chosen, this,
            [this](int factor) { model_.setTrevikDownscaleFactor(factor); });
    for (auto changed : {&PipelineViewModel::datasetProfileChanged, &PipelineViewModel::selectedInputURLChanged,
                         &PipelineViewModel::isAnalyzingInputChanged, &PipelineViewModel::trevikDownscaleFactorChanged})
        connect(&model_, changed, this, &DatasetDownscaleCard::refresh);
    refresh();
}

void DatasetDownscaleCard::refresh() {
    const viewmodel::OptionalDatasetProfile& profile = model_.datasetProfile();
    facts_->setVisible(profile.has_value());
    if (profile) {
        imageCount_->setText(InputFormText::imageCountText(profile->imageCount, profile->isEstimated));
        resolution_->setText(InputFormText::resolutionText(profile->nativeWidth, profile->nativeHeight));
    }
    downscale_->setSelectedTag(int(model_.trevikDownscaleFactor()));
    const bool chosen = model_.selectedInputURL().has_value();
    analyzing_->setVisible(!profile && chosen && model_.isAnalyzingInput());
    failed_->setVisible(!profile && chosen && !model_.isAnalyzingInput());
}

}  // namespace tessaron::views
