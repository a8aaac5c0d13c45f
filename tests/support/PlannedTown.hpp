#pragma once

#include <cstdint>
#include <filesystem>

#include "colmap/COLMAPUtils.hpp"
#include "partition/VastGaussianPartitioner.hpp"
#include "generators/SyntheticModel.hpp"
#include "support/TempDir.hpp"

namespace tessaron::testing {

// A street town planned under a tight limit, so that it has several cells,
// with its model on disk in a folder of its own.
struct PlannedTown {
    TempDir dir;
    colmap::COLMAPModel model;
    partition::PartitionPlan plan;

    explicit PlannedTown(int64_t imageCount = 300, int64_t pointCount = 30000) {
        generators::SyntheticModelOptions options;
        options.imageCount = imageCount;
        options.pointCount = pointCount;
        model = makeSyntheticModel(options);
        colmap::COLMAPUtils::writeModel(model, modelFolder());
        plan = partition::VastGaussianPartitioner::createPlan(model, {.ramLimitGB = 4.0});
    }
    std::filesystem::path modelFolder() const { return dir / "sparse/0"; }
    std::filesystem::path partitions() const { return dir / "partitions"; }
};

}  // namespace tessaron::testing
