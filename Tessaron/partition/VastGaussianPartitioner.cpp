// createPlan for a model folder. Kept apart from the in-memory planning so
// that code planning in-memory models does not link the model reader.
#include "partition/VastGaussianPartitioner.hpp"

namespace tessaron::partition {

PartitionPlan VastGaussianPartitioner::createPlan(const std::filesystem::path& modelFolder, const PlanOptions& options,
                                                  const PartitionLog& log, const PartitionProgressHandler& progress) {
    options.check();
    if (log) log("Loading COLMAP data from " + modelFolder.string() + "...");
    if (progress) progress({"Loading reconstruction…", {}, 0});
    colmap::COLMAPModel model = colmap::COLMAPUtils::readModel(modelFolder);
    return createPlan(model, options, log, progress);
}

}  // namespace tessaron::partition
