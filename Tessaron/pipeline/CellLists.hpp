#pragma once

#include <string>
#include <vector>

#include "partition/MaterializedCell.hpp"
#include "partition/PartitionPlan.hpp"
#include "pipeline/PendingCell.hpp"
#include "pipeline/PreparedCell.hpp"

namespace tessaron::pipeline {

// The texts joined with `separator` between them ("a, b, c").
std::string joined(const std::vector<std::string>& texts, const std::string& separator);

// The cells the partitioner wrote, as the input of a training queue.
std::vector<PreparedCell> preparedCells(const std::vector<partition::MaterializedCell>& written);

// The prepared cells as a training queue, with the cap and iterations of the
// plan cell of the same id, else the defaults.
std::vector<PendingCell> pendingCells(const std::vector<PreparedCell>& preparedCells,
                                      const std::vector<partition::PartitionCell>& planCells, int64_t defaultCapMax,
                                      int64_t defaultIterations);

// Every cell of the plan trains with the run's own cap and iterations; the
// estimates follow, so that checks judge the cells as they will train.
void overrideCellParameters(partition::PartitionPlan& plan, int64_t capMax, int64_t iterations);

// `message` followed by why the cells failed, when any did: "No cell PLYs
// found to merge. cell_0 failed: <reason>; cell_1 failed: <reason>". Past
// three reasons the rest are counted, not listed.
std::string withFailureReasons(const std::string& message, const std::vector<std::string>& reasons);

// Each name with " (part)" appended, in order: the cells of which only some
// quadrants survived a subdivision, in the list of missing regions.
std::vector<std::string> markPartialNames(const std::vector<std::string>& names);

}  // namespace tessaron::pipeline
