#pragma once

#include <string>
#include <vector>

#include "partition/MaterializedCell.hpp"
#include "pipeline/PendingCell.hpp"

namespace tessaron::pipeline {

// The texts joined with `separator` between them ("a, b, c").
std::string joined(const std::vector<std::string>& texts, const std::string& separator);

// The cells the partitioner wrote, as the input of a training queue.
std::vector<PreparedCell> preparedCells(const std::vector<partition::MaterializedCell>& written);

}  // namespace tessaron::pipeline
