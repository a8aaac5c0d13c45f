#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "partition/PartitionPlan.hpp"
#include "partition/SeamlessMerger.hpp"
#include "pipeline/PendingCell.hpp"

namespace tessaron::pipeline {

// The working state of one cell loop: the partitioned road's and a resume's.
// Owned by the running operation and touched only on its thread.
struct CellTrainingRun {
    // Always the latest plan: an out-of-memory retry replaces it.
    partition::PartitionPlan plan;
    // Training order; grows at the end when a cell is split.
    std::vector<PendingCell> queue;
    // One per cell trained successfully, in training order.
    std::vector<partition::SeamlessMerger::CellInput> mergeInputs;
    // Cells that ended without a usable PLY and without a retry.
    std::vector<std::string> failedCells;
    // Why each cell that failed to train failed, in training order
    // ("cell_0 failed: trevik training failed (exit 1): <the engine's
    // reason>"), so that an operation that ends with nothing to merge can
    // say why.
    std::vector<std::string> failureReasons;

    std::filesystem::path modelFolder;  // the global COLMAP model, colmap/sparse/0
    std::filesystem::path partitionsFolder;
    std::filesystem::path imageDir;  // each cell's "images" links here
    int downscale = 1;
    bool eval = false;
    bool diagnostics = false;  // the engine's benchmark and profiling output
    std::optional<std::string> maskDir;
    // The partitioned road warns after each cell when free memory is
    // critically low; a resume does not.
    bool warnOnLowMemory = false;
};

}  // namespace tessaron::pipeline
