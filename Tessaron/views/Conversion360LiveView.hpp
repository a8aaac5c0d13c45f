#pragma once

#include "viewmodel/PipelineViewModel.hpp"
#include "views/FloatingPanel.hpp"

namespace tessaron::views {

// The source frame and the crops appearing while a 360° video converts.
// Stands in until the view is built; its constructor and public calls are
// what the window relies on.
class Conversion360LiveView : public PlaceholderView {
    Q_OBJECT
public:
    explicit Conversion360LiveView(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);
};

}  // namespace tessaron::views
