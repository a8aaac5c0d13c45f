#pragma once

#include "viewmodel/PipelineViewModel.hpp"
#include "views/FormWidgets.hpp"
#include "views/SegmentedPicker.hpp"
#include "views/SettingsSection.hpp"

namespace tessaron::views {

// The card "360° Video": what the analysis makes of a video that may be
// 360°, and the crop layout such a video is cut into.
class Video360Card : public SettingsSection {
    Q_OBJECT
public:
    explicit Video360Card(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);

    QString noticeText() const { return notice_->text(); }
    SegmentedPicker* layoutPicker() const { return layout_; }

    static QString unsupportedText();
    static QString possibly360Text();

private:
    void refresh();

    viewmodel::PipelineViewModel& model_;
    NoticeBox* notice_;
    QLabel* layoutTitle_;
    SegmentedPicker* layout_;
};

}  // namespace tessaron::views
