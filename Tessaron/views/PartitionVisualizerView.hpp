#pragma once

#include <optional>

#include "viewmodel/PipelineViewModel.hpp"
#include "views/FloatingPanel.hpp"

namespace tessaron::views {

// The plan's cells over the COLMAP cloud, seen from above; it reads the plan,
// the sparse folder and the planner's progress from the model.
// Stands in until the view is built; its constructor and public calls are
// what the window relies on.
class PartitionVisualizerView : public PlaceholderView {
    Q_OBJECT
public:
    explicit PartitionVisualizerView(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);

    // The trained cell to pulse: the view model's current cell less one, or none.
    void setHighlightedCell(std::optional<int> index) { highlightedCell_ = index; }

private:
    std::optional<int> highlightedCell_;
};

}  // namespace tessaron::views
