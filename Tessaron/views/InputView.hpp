#pragma once

#include "viewmodel/PipelineViewModel.hpp"
#include "views/FloatingPanel.hpp"

namespace tessaron::views {

// The Input step's form: the drop zone, the input summary, the settings cards,
// partitioning, memory and model size, and the resume panel.
// Stands in until the view is built; its constructor and public calls are
// what the window relies on.
class InputView : public PlaceholderView {
    Q_OBJECT
public:
    explicit InputView(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);
};

}  // namespace tessaron::views
