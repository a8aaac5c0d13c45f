#include "viewmodel/PipelineViewModel.hpp"

namespace tessaron::viewmodel {

void PipelineViewModel::approvePlan() {
    // Set before the approval: the training the approval releases reads it.
    pipelineManager_->diagnostics = diagnosticsEnabled();
    pipelineManager_->resolvePartitionApproval(pipeline::PipelineManager::ApprovalOutcome::approved);
}

void PipelineViewModel::forceKill() { pipelineManager_->forceKill(); }

bool PipelineViewModel::isProcessRunning() const { return pipelineManager_->isProcessRunning(); }

}  // namespace tessaron::viewmodel
