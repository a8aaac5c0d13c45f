#pragma once

#include "views/FinalViewerState.hpp"
#include "viewmodel/PipelineViewModel.hpp"
#include "views/FloatingPanel.hpp"

namespace tessaron::views {

// The Final step's panel: the outcome, the viewer's settings and statistics,
// re-merge and the converter.
// Stands in until the view is built; its constructor and public calls are
// what the window relies on.
class FinalPanelView : public PlaceholderView {
    Q_OBJECT
public:
    explicit FinalPanelView(viewmodel::PipelineViewModel& model, FinalViewerState& viewer, QWidget* parent = nullptr);

signals:
    // "Open a model in the viewer…": the step menu presents its file importer.
    void openModelRequested();
};

}  // namespace tessaron::views
