#include "views/ModelOperations.hpp"

#include "viewmodel/PipelineViewModel.hpp"

namespace tessaron::views {

ModelOperations ModelOperations::standard() {
    ModelOperations operations;
    operations.startNewRun = [](viewmodel::PipelineViewModel& model) { model.startNewRun(); };
    operations.startRemerge = [](viewmodel::PipelineViewModel& model) { model.startRemerge(); };
    operations.selectResumeWorkspace = [](viewmodel::PipelineViewModel& model) { model.selectResumeWorkspace(); };
    operations.cancelRun = [](viewmodel::PipelineViewModel& model) { model.cancelRun(); };
    operations.forceKill = [](viewmodel::PipelineViewModel& model) { model.forceKill(); };
    return operations;
}

}  // namespace tessaron::views
