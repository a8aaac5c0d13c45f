#include "viewmodel/PipelineViewModel.hpp"

namespace tessaron::viewmodel {

void PipelineViewModel::approvePlan() {
    // The choice travels with the approval: the cells it releases use it.
    pipelineManager_->resolvePartitionApproval(pipeline::PipelineManager::ApprovalOutcome::approved,
                                               settings_.diagnosticsEnabled);
}

void PipelineViewModel::forceKill() { pipelineManager_->forceKill(); }

bool PipelineViewModel::isProcessRunning() const { return pipelineManager_->isProcessRunning(); }

}  // namespace tessaron::viewmodel
