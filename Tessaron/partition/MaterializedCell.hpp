#pragma once

#include <filesystem>
#include <string>

#include "partition/PartitionPlan.hpp"

namespace tessaron::partition {

// A cell whose COLMAP model has been written: what the cell writers return
// and the pipeline turns into cells to train. Bounds are in the plan's
// normalised frame.
struct MaterializedCell {
    std::string cellId;          // also its folder name under partitions/
    std::filesystem::path url;   // <partitions>/<cell id>/sparse/0
    CellBounds coreBounds;
    CellBounds expandedBounds;

    bool operator==(const MaterializedCell&) const = default;
};

}  // namespace tessaron::partition
