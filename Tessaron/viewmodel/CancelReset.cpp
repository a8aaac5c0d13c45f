#include "viewmodel/PipelineViewModel.hpp"

namespace tessaron::viewmodel {

using Kind = pipeline::PipelineState::Kind;

void PipelineViewModel::cancelRun() {
    if (isTourSample_) return;
    if (!activeTask_.joinable()) {
        // Clears an error or a completed run that is still shown.
        setCurrentState(Kind::idle);
        updateRunReport();
        return;
    }
    setIsCancelling(true);
    // The task's stop comes first: the driver clears the manager's cancel
    // flag when its operation starts and keeps only the task's stop, so a
    // cancel landing while the operation is starting would otherwise be lost.
    activeTask_.request_stop();
    pipelineManager_->cancel();
    dropPendingPartitionProgress();
    // The lines already received reach the step logs; the timers stop now,
    // the operation's own end flushes once more.
    endOperationFeeds();
}

void PipelineViewModel::resetRunState() {
    if (activeTask_.joinable()) {
        // Never a fresh view over a run that still goes on: the run is
        // cancelled, and the reset follows its end.
        cancelRun();
        resetPending_ = true;
        return;
    }
    dropPendingPartitionProgress();
    ++analysisGeneration_;
    ++sceneAnalysisGeneration_;
    setIsAnalyzingInput(false);
    stopOperationTimers();
    setCurrentState(Kind::idle);
    updateRunReport();
    setCancelledRun({});

    clearStepLogs();

    clearLiveProgress();

    clearCellProgress();
    clearRunResult();
    // The trainer's memory of the old run is no figure of a fresh view; the
    // strip shows the host's again.
    setEngineRamString({});

    setSelectedInputURL({});
    setCurrentWorkspaceURL({});
    setIsInputVideo(false);

    // The settings that belong to the input go back to their defaults.
    const RunSettings defaults;
    setSkipSfM(defaults.skipSfM);
    setColmapDataURL(defaults.colmapDataURL);
    setDatasetProfile({});
    setPhotoFolderWarning({});
    setSceneAnalysis({});
    setTrevikDownscaleFactor(defaults.trevikDownscaleFactor);

    setSpherical360Detection({});
    setTreatAs360(defaults.treatAs360);
    setSfmViewsPerFrame(1);
    emit runStateWasReset();
}

void PipelineViewModel::clearStepLogs() {
    setExtractionLog({});
    setSfmLog({});
    setDataPrepLog({});
    setTrainingLog({});
    setExportLog({});
}

void PipelineViewModel::clearLiveProgress() {
    setPartitionPlan({});
    setPartitionProgress({});
    setMaterializedCellCount(0);
    setMaterializationTotalCells(0);
    setExtractionCurrent(0);
    setExtractionTotal(0);
    setSfmRegisteredImages(0);
    setSfmTotalImages(0);
    setConversionPreview({});
    setLatestSfMSnapshot({});
}

void PipelineViewModel::clearRunResult() {
    setOutputPlyPath({});
    setIteration(0);
    setSplatCount(0);
    setMsPerStep(0);
}

void PipelineViewModel::clearCellProgress() {
    setCurrentCellIndex(0);
    setTotalCells(1);
    setCurrentCellTargetIterations({});
    setCellStartedAt({});
    setCompletedCellDurations({});
}

void PipelineViewModel::afterOperationEnded() {
    if (!resetPending_) return;
    resetPending_ = false;
    resetRunState();
}

}  // namespace tessaron::viewmodel
