#include "views/PartitionVisualizerView.hpp"

namespace tessaron::views {

PartitionVisualizerView::PartitionVisualizerView(viewmodel::PipelineViewModel& model, QWidget* parent)
    : PlaceholderView(QStringLiteral("Partition plan"), parent) {
    (void)model;
}

}  // namespace tessaron::views
