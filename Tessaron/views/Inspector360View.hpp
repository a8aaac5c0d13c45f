#pragma once

#include "viewmodel/PipelineViewModel.hpp"
#include "views/FloatingPanel.hpp"

namespace tessaron::views {

// The 360° inspector: how the chosen layout cuts the panorama, and the person masks.
// Stands in until the view is built; its constructor and public calls are
// what the window relies on.
class Inspector360View : public PlaceholderView {
    Q_OBJECT
public:
    explicit Inspector360View(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);
};

}  // namespace tessaron::views
