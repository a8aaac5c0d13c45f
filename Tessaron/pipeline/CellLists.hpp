#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "partition/MaterializedCell.hpp"
#include "pipeline/PendingCell.hpp"

namespace tessaron::pipeline {

// The texts joined with `separator` between them ("a, b, c").
std::string joined(const std::vector<std::string>& texts, const std::string& separator);

// Whether a cell id of a plan file may name a cell folder: "cell_<n>",
// optionally followed by sub-cell parts "_s<k>".
bool isPlanCellId(std::string_view id);

// The cells the partitioner wrote, as the input of a training queue.
std::vector<PreparedCell> preparedCells(const std::vector<partition::MaterializedCell>& written);

}  // namespace tessaron::pipeline
