#include "views/ModelOperations.hpp"

#include "viewmodel/PipelineViewModel.hpp"

namespace tessaron::views {

void cancelRun(viewmodel::PipelineViewModel& model) {
    if (model.isTourSample()) return;
    if (!model.hasActiveTask()) {
        model.setCurrentState(pipeline::PipelineState::Kind::idle);
        model.updateRunReport();
        return;
    }
    model.setIsCancelling(true);
    model.pipelineManager()->cancel();
}

ModelOperations ModelOperations::standard() {
    ModelOperations operations;
    // Starting, re-merging and resuming open their own panels in the view
    // model; until it offers them these commands do nothing.
    operations.startNewRun = [](viewmodel::PipelineViewModel&) {};
    operations.startRemerge = [](viewmodel::PipelineViewModel&) {};
    operations.selectResumeWorkspace = [](viewmodel::PipelineViewModel&) {};
    operations.cancelRun = [](viewmodel::PipelineViewModel& model) { views::cancelRun(model); };
    return operations;
}

}  // namespace tessaron::views
