#pragma once

#include <QWidget>

#include "viewmodel/PipelineViewModel.hpp"

namespace tessaron::views {

class PanelHeader;

// The SfM step's panel: its header with the step's status and what COLMAP
// does; the reconstruction itself grows in the centre pane.
class SfMPanelView : public QWidget {
    Q_OBJECT
public:
    explicit SfMPanelView(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);

    PanelHeader* header() const { return header_; }

private:
    void refresh();

    viewmodel::PipelineViewModel& model_;
    PanelHeader* header_;
};

}  // namespace tessaron::views
