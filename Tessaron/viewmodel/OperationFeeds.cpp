#include "viewmodel/PipelineViewModel.hpp"

// Where an operation's start and end meet the engine feeds: the buffered
// log with its flush timer, the host telemetry and the SfM snapshot poll.

namespace tessaron::viewmodel {

void PipelineViewModel::connectOperationFeeds(bool withTelemetry) {
    // Lines of an earlier operation that were never flushed are dropped, and
    // the feeds of an earlier operation stop before the new ones start.
    stopOperationTimers();
    {
        std::lock_guard lock(feed_->lock);
        feed_->logBuffer.clear();
        feed_->lastStep.reset();
    }
    lastSfMSnapshotDirName_.reset();
    startLogFlushTimer();
    if (withTelemetry) startTelemetryTimer();
}

void PipelineViewModel::endOperationFeeds() {
    // Waiting lines reach the step logs before the timers stop.
    flushLogBuffer();
    stopOperationTimers();
}

void PipelineViewModel::stopOperationTimers() {
    stopLogFlushTimer();
    stopTelemetryTimer();
    sfmSnapshotPollTimer_.stop();
}

void PipelineViewModel::dropPendingPartitionProgress() { cancelPendingPartitionProgress(); }

void PipelineViewModel::logOperationLine(pipeline::PipelineLogStep step, const std::string& line) {
    // Through the same buffer as the engines' lines, so the order holds.
    ingestLogLine(step, line);
    flushLogBuffer();
}

}  // namespace tessaron::viewmodel
