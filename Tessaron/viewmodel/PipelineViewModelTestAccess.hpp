#pragma once

// What tests and the developer harness reach inside a PipelineViewModel:
// stand-ins for the driver and the machine, the engine feeds driven by
// hand, and operations of their own making. The application never uses it.

#include <cstddef>
#include <functional>
#include <string>
#include <utility>

#include "viewmodel/PipelineViewModel.hpp"

namespace tessaron::viewmodel {

struct PipelineViewModelTestAccess {
    using Model = PipelineViewModel;

    // ---- Stand-ins ----
    static void setDriverCalls(Model& model, Model::DriverCalls calls) { model.driverCalls_ = std::move(calls); }
    static void setFreeSpaceProbe(Model& model, Model::FreeSpaceProbe probe) { model.freeSpace_ = std::move(probe); }
    static void setInputAnalyzer(Model& model, Model::InputAnalyzer analyzer) {
        model.inputAnalyzer_ = std::move(analyzer);
    }
    static void setSceneAnalyzer(Model& model, Model::SceneAnalyzer analyzer) {
        model.sceneAnalyzer_ = std::move(analyzer);
    }

    // ---- Engine output ----
    static void ingestLogLine(Model& model, pipeline::PipelineLogStep step, const std::string& line) {
        model.ingestLogLine(step, line);
    }
    static void flushLogBuffer(Model& model) { model.flushLogBuffer(); }
    static void startLogFlushTimer(Model& model) { model.logBuffer_.startFlushing(); }
    static void stopLogFlushTimer(Model& model) { model.logBuffer_.stopFlushing(); }
    static bool isLogFlushTimerActive(const Model& model) { return model.logBuffer_.isFlushing(); }

    // ---- Host telemetry ----
    static void startTelemetryTimer(Model& model) { model.telemetry_.start(); }
    static void stopTelemetryTimer(Model& model) { model.telemetry_.stop(); }
    static bool isTelemetryTimerActive(const Model& model) { return model.telemetry_.isActive(); }
    static void sampleHostTelemetry(Model& model) { model.telemetry_.sample(); }

    // ---- Live SfM cloud ----
    static void updateSfMSnapshotPolling(Model& model, const pipeline::PipelineState& state) {
        model.updateSfMSnapshotPolling(state);
    }
    static bool isPollingSfMSnapshots(const Model& model) { return model.snapshotPoller_.isPolling(); }
    static void pollSfMSnapshot(Model& model) { model.snapshotPoller_.poll(); }
    static bool isReadingSfMSnapshot(const Model& model) { return model.snapshotPoller_.isReading(); }

    // ---- Operations and the run report ----
    static void runTrackedOperation(Model& model, Model::OperationBody body, std::function<void()> afterBody = {}) {
        model.runTrackedOperation(std::move(body), std::move(afterBody));
    }
    static bool hasActiveTask(const Model& model) { return model.hasActiveTask(); }
    // Input and scene analyses whose results have not been handled yet.
    static std::size_t backgroundWorkCount(const Model& model) { return model.backgroundTasks_.size(); }
    static void beginRunReport(Model& model, const std::string& kind, const std::string& input,
                               const SettingRows& settings) {
        model.beginRunReport(kind, input, settings);
    }
    static OptionalPath runReportFolder(const Model& model) { return model.reportKeeper_.folder(); }
};

}  // namespace tessaron::viewmodel
