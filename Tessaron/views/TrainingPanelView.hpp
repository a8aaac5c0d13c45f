#pragma once

#include "viewmodel/PipelineViewModel.hpp"
#include "views/FloatingPanel.hpp"

namespace tessaron::views {

// The Training step's panel: cell and iteration figures, speed, bars and the estimate.
// Stands in until the view is built; its constructor and public calls are
// what the window relies on.
class TrainingPanelView : public PlaceholderView {
    Q_OBJECT
public:
    explicit TrainingPanelView(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);
};

}  // namespace tessaron::views
