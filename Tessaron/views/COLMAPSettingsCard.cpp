#include "views/COLMAPSettingsCard.hpp"

#include "views/FormWidgets.hpp"

namespace tessaron::views {

using viewmodel::PipelineViewModel;

COLMAPSettingsCard::COLMAPSettingsCard(PipelineViewModel& model, QWidget* parent)
    : SettingsSection(QStringLiteral("COLMAP Settings"), parent),
      model_(model),
      singleCamera_(new QCheckBox(QStringLiteral("Single Camera Mode"))) {
    singleCamera_->setFont(theme::font(theme::TextStyle::callout));
    addRow(singleCamera_);
    addRow(styledLabel(QStringLiteral("Enable if all images are from the same camera/lens."),
                       theme::TextStyle::caption2, theme::NamedColor::secondary));
    singleCamera_->setChecked(model_.colmapUseSingleCamera());
    connect(singleCamera_, &QCheckBox::toggled, &model_, &PipelineViewModel::setColmapUseSingleCamera);
    connect(&model_, &PipelineViewModel::colmapUseSingleCameraChanged, this,
            [this] { singleCamera_->setChecked(model_.colmapUseSingleCamera()); });
}

}  // namespace tessaron::views
