#pragma once

#include <filesystem>
#include <string>

#include "partition/PartitionPlan.hpp"

namespace tessaron::pipeline {

// A cell whose folder and COLMAP model have been written, as the partitioner
// returns it: the input of the training queue.
struct PreparedCell {
    std::string cellId;
    std::filesystem::path url;  // the cell's model folder, <partitions>/<cell id>/sparse/0
    partition::CellBounds coreBounds;
    partition::CellBounds expandedBounds;

    bool operator==(const PreparedCell&) const = default;
};

}  // namespace tessaron::pipeline
