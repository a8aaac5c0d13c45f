#include "viewmodel/PipelineViewModel.hpp"

// Where an operation's start and end meet the engine feeds: the step log
// buffer, the host telemetry and the SfM snapshot poller.

namespace tessaron::viewmodel {

void PipelineViewModel::connectOperationFeeds(bool withTelemetry) {
    // Lines of an earlier operation that were never flushed are dropped, and
    // the feeds of an earlier operation stop before the new ones start.
    stopOperationTimers();
    logBuffer_.queue()->clear();
    snapshotPoller_.forget();
    logBuffer_.startFlushing();
    if (withTelemetry) telemetry_.start();
}

void PipelineViewModel::endOperationFeeds() {
    // Waiting lines reach the step logs before the timers stop.
    flushLogBuffer();
    stopOperationTimers();
}

void PipelineViewModel::stopOperationTimers() {
    logBuffer_.stopFlushing();
    telemetry_.stop();
    snapshotPoller_.stop();
}

void PipelineViewModel::dropPendingPartitionProgress() { cancelPendingPartitionProgress(); }

void PipelineViewModel::updateSfMSnapshotPolling(const pipeline::PipelineState& state) {
    snapshotPoller_.update(state.kind == pipeline::PipelineState::Kind::processingSfM &&
                           !settings_.runsGlobalMapper(isInputVideo_));
}

void PipelineViewModel::logOperationLine(pipeline::PipelineLogStep step, const std::string& line) {
    // Through the same buffer as the engines' lines, so the order holds.
    ingestLogLine(step, line);
    flushLogBuffer();
}

}  // namespace tessaron::viewmodel
