#pragma once

#include <QCheckBox>
#include <QLabel>

#include "viewmodel/PipelineViewModel.hpp"
#include "views/SettingsSection.hpp"
#include "views/SliderRow.hpp"

namespace tessaron::views {

// The card "Frame Extraction": which video frames are kept, and the
// sharpness filter that drops blurred ones.
class FrameExtractionCard : public SettingsSection {
    Q_OBJECT
public:
    explicit FrameExtractionCard(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);

    SliderRow* rateRow() const { return rate_; }
    QCheckBox* sharpnessToggle() const { return sharpness_; }
    SliderRow* thresholdRow() const { return threshold_; }

private:
    void refresh();

    viewmodel::PipelineViewModel& model_;
    SliderRow* rate_;
    QCheckBox* sharpness_;
    SliderRow* threshold_;
    QLabel* thresholdNote_;
};

}  // namespace tessaron::views
