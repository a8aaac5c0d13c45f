#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "partition/MaterializedCell.hpp"
#include "partition/PartitionProgress.hpp"
#include "pipeline/CellTrainingOutcome.hpp"
#include "pipeline/CellTrainingRun.hpp"
#include "pipeline/PipelineState.hpp"

namespace tessaron::pipeline {

// The cell loop of the partitioned road and of a resume: trains each cell of
// a run's queue in turn and, when one runs out of memory, cuts it into four
// quadrant sub-cells that take its place in the plan and join the end of the
// queue. Every other failure leaves the cell's region missing.
//
// It owns no state of its own: the run it is given is the queue, the plan
// and the results, and is touched only on the calling thread.
class CellQueue {
public:
    struct Hooks {
        // Trains one cell, `number` being its 1-based place in the queue;
        // records a success in the run and returns how it ended.
        std::function<CellTrainingOutcome(CellTrainingRun& run, const PendingCell& cell, size_t number)> trainCell;
        std::function<void(PipelineLogStep step, const std::string& text)> log;
        std::function<bool()> isCancelRequested;
        // Writes the quadrant models of a cell; none: the partitioner's.
        std::function<std::vector<partition::MaterializedCell>(const PendingCell& cell, const CellTrainingRun& run,
                                                                const std::function<void(const std::string&)>& log)>
            subdivide;
        // Free memory in GB for the low-memory warning; none: the system's.
        std::function<int64_t()> availableMemoryGB;
    };

    explicit CellQueue(Hooks hooks);

    // Trains the run's queue, growing it by the sub-cells of out-of-memory
    // retries. False, having said nothing, when a cancel ended it.
    bool train(CellTrainingRun& run) const;

    // Decides whether a failed cell ran out of memory and, when it may still
    // be split, writes its quadrant sub-cells, puts them into the run's plan
    // in its place (saved to the partitions folder) and returns those that
    // have enough photos. Every other outcome adds the cell to the run's
    // failed cells, except a cancel, which returns nothing silently. `error`
    // is what the cell's training threw; `outputLines` the engine's lines of
    // the cell.
    std::vector<PendingCell> retryAfterOutOfMemory(CellTrainingRun& run, const PendingCell& cell,
                                                   const std::exception_ptr& error,
                                                   const std::vector<std::string>& outputLines) const;

private:
    Hooks hooks_;
};

}  // namespace tessaron::pipeline
