#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "partition/PartitionPlan.hpp"

namespace tessaron::partition {

// What the planner reports while it works, for the live Voronoi view.
struct PartitionProgress {
    std::string phase;
    std::vector<Point2D> centroids;
    int64_t cellCount = 0;

    bool operator==(const PartitionProgress&) const = default;
};

}  // namespace tessaron::partition
