// createPlan for a model folder. Kept apart from the in-memory planning so
// that code planning in-memory models does not link the model reader.
#include "partition/VastGaussianPartitioner.hpp"

namespace tessaron::partition {

PartitionPlan VastGaussianPartitioner::createPlan(const std::filesystem::path& modelFolder, int64_t downscaleFactor,
                                                  int64_t iterationFloor, int64_t gaussianBudget,
                                                  std::optional<double> ramLimit, int64_t viewsPerFrame,
                                                  const PartitionLog& log, const PartitionProgressHandler& progress) {
    if (log) log("Loading COLMAP data from " + modelFolder.string() + "...");
    if (progress) progress({"Loading reconstruction…", {}, 0});
    colmap::COLMAPModel model = colmap::COLMAPUtils::readModel(modelFolder);
    return createPlan(model, downscaleFactor, iterationFloor, gaussianBudget, ramLimit, viewsPerFrame, log, progress);
}

}  // namespace tessaron::partition
