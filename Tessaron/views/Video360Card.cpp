#include "views/Video360Card.hpp"

namespace tessaron::views {

using theme::NamedColor;

QString Video360Card::unsupportedText() {
    return QStringLiteral(
        "360\u00b0 video isn't supported in this beta yet. Use a regular (non-360) video or a "
        "folder of photos.");
}

QString Video360Card::possibly360Text() {
    return QStringLiteral(
        "2:1 aspect ratio \u2014 this may be a 360\u00b0 video. 360\u00b0 processing isn't "
        "supported in this beta, so results may fail.");
}

Video360Card::Video360Card(viewmodel::PipelineViewModel& model, QWidget* parent)
    : SettingsSection(QStringLiteral("360\u00b0 Video"), parent),
      model_(model),
      notice_(new NoticeBox(Symbol::exclamationmarkTriangleFill, theme::color(NamedColor::orange), {},
                            theme::color(NamedColor::primary), Qt::AlignTop)),
      layout_(new SegmentedPicker(QStringLiteral("Crop Layout"))) {
    addRow(notice_);
    // The crop layout a 360° run cuts each frame into; the 360° inspector
    // offers the same choice.
    layoutTitle_ = styledLabel(QStringLiteral("Crop Layout"), theme::TextStyle::callout, NamedColor::primary,
                               theme::Weight::bold);
    addRow(layoutTitle_);
    for (input::CropLayoutPreset preset : input::allCropLayoutPresets())
        layout_->addChoice(QString::fromStdString(input::displayName(preset)), int(preset));
    addRow(layout_);
    connect(layout_, &SegmentedPicker::chosen, this,
            [this](int tag) { model_.setCropLayoutPreset(input::CropLayoutPreset(tag)); });
    connect(&model_, &viewmodel::PipelineViewModel::isLikely360VideoChanged, this, &Video360Card::refresh);
    connect(&model_, &viewmodel::PipelineViewModel::cropLayoutPresetChanged, this, &Video360Card::refresh);
    connect(&model_, &viewmodel::PipelineViewModel::treatAs360Changed, this, &Video360Card::refresh);
    connect(&model_, &viewmodel::PipelineViewModel::isInputVideoChanged, this, &Video360Card::refresh);
    refresh();
}

void Video360Card::refresh() {
    if (model_.isLikely360Video())
        notice_->setNotice(Symbol::exclamationmarkTriangleFill, unsupportedText());
    else
        notice_->setNotice(Symbol::questionmarkCircleFill, possibly360Text());
    layout_->setSelectedTag(int(model_.cropLayoutPreset()));
    // The layout shapes only a run that cuts the video as 360° and may start;
    // otherwise choosing one would change nothing, and the choice says so.
    const bool shapesTheRun = model_.isInputVideo() && model_.treatAs360() && !model_.isLikely360Video();
    layout_->setEnabled(shapesTheRun);
    layoutTitle_->setEnabled(shapesTheRun);
    setTextColor(layoutTitle_, theme::color(shapesTheRun ? NamedColor::primary : NamedColor::secondary));
}

}  // namespace tessaron::views
