#pragma once

#include <QCheckBox>

#include "viewmodel/PipelineViewModel.hpp"
#include "views/SettingsSection.hpp"

namespace tessaron::views {

// The card "COLMAP Settings": whether every image comes from one camera.
class COLMAPSettingsCard : public SettingsSection {
    Q_OBJECT
public:
    explicit COLMAPSettingsCard(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);

    QCheckBox* singleCameraToggle() const { return singleCamera_; }

private:
    viewmodel::PipelineViewModel& model_;
    QCheckBox* singleCamera_;
};

}  // namespace tessaron::views
