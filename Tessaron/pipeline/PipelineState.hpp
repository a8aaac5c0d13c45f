#pragma once

#include <cstdint>
#include <string>

namespace tessaron::pipeline {

// The state of a run as the driver reports it through onStateChange. Two
// states are equal when they are the same case; two error states only when
// their messages are equal too.
struct PipelineState {
    enum class Kind {
        idle,  // the receiver's initial state; the driver never reports it
        extractingFrames,
        processingSfM,
        preparingData,
        awaitingPartitionApproval,
        materializingCells,
        training,
        exporting,
        completed,
        error,
    };

    Kind kind = Kind::idle;
    std::string message;  // the text the views show; error only

    PipelineState(Kind stateKind = Kind::idle) : kind(stateKind) {}  // NOLINT: a case converts to its state
    static PipelineState error(std::string message);

    bool isError() const noexcept { return kind == Kind::error; }

    friend bool operator==(const PipelineState& a, const PipelineState& b) {
        return a.kind == b.kind && (a.kind != Kind::error || a.message == b.message);
    }
};

// "processingSfM", or "error(<message>)" for an error.
std::string toString(const PipelineState& state);

// The short title of what a run is doing, as the window shows it and the run
// report records it as its step: "Camera poses (COLMAP)", "Training (cell 2
// of 4)" (`totalCells` below 2: "Training"). An error has no title of its
// own: the caller shows the last working step it recorded; without one,
// "Unknown step".
std::string stepTitle(const PipelineState& state, int64_t currentCellIndex = 0, int64_t totalCells = 0);

// The stage a log line belongs to; the run log writes its tag.
enum class PipelineLogStep {
    extraction,
    sfm,
    dataPrep,
    training,
    export_,  // "export" is a C++ keyword
};

// "EXTRACT", "SFM", "PREP", "TRAIN", "EXPORT".
std::string tag(PipelineLogStep step);

}  // namespace tessaron::pipeline
