#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "partition/PartitionPlan.hpp"

namespace tessaron::pipeline {

// A cell waiting in a training queue.
struct PendingCell {
    std::string cellId;  // also its folder name: cell_<n>, sub-cells derived from it
    std::filesystem::path url;  // the cell's model folder; the cell folder is two levels up
    partition::CellBounds coreBounds;      // the area the cell owns on the ground plane
    partition::CellBounds expandedBounds;  // the core area grown by the overlap margin
    int64_t depth = 0;                     // 0 for a plan cell, parent + 1 for a sub-cell
    int64_t recommendedCapMax = 0;
    int64_t recommendedIterations = 0;

    bool operator==(const PendingCell&) const = default;
};

}  // namespace tessaron::pipeline
