#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "partition/PartitionPlan.hpp"
#include "viewmodel/Vector3.hpp"

namespace tessaron::viewmodel {

// A COLMAP sparse cloud reduced to what the partition view draws: at most
// about 60,000 points in the model's order, their ground-plane positions,
// and a robust extent that ignores 2% of the points at each end.
struct ParsedCloud {
    struct Bounds {
        double minX = -1;
        double maxX = 1;
        double minZ = -1;
        double maxZ = 1;

        bool operator==(const Bounds&) const = default;
    };

    std::vector<Vector3> positions;
    std::vector<partition::Point2D> pointsXZ;  // same order as positions
    Bounds bounds;
    double yLow = -1;
    double yHigh = 1;
    // +1 or -1: which way along Y is up for the cameras.
    double upSign = -1;
    // Why the model could not be read; empty when it was. A model that
    // cannot be read draws nothing.
    std::string readError;
};

using ParsedCloudPointer = std::shared_ptr<const ParsedCloud>;

// Reads sparse models into ParsedClouds and keeps them for the life of the
// process (SparseCloudLoader reads them off the GUI thread), keyed by the
// folder and the time and size of its points3D.bin, so that a view made
// again for an unchanged model draws at once. The cache's map is guarded by one lock, held only to compute a
// key and read or write the map, never while a model is parsed.
class PointCloudCache {
public:
    static constexpr std::size_t samplingTarget = 30000;

    // "<folder>|<time of points3D.bin in seconds since 1970>|<size in bytes>";
    // "0.0" and "0" when the file's attributes cannot be read.
    static std::string cacheKey(const std::filesystem::path& sparseDir);

    static ParsedCloudPointer cachedCloud(const std::filesystem::path& sparseDir);
    static void store(const std::filesystem::path& sparseDir, ParsedCloudPointer cloud);

    // Never throws: a model that cannot be read gives the empty cloud.
    static ParsedCloud parseCloud(const std::filesystem::path& sparseDir);

private:
    static std::string cacheKeyLocked(const std::filesystem::path& sparseDir);
    static std::mutex& lock();
    static std::map<std::string, ParsedCloudPointer>& clouds();
};

}  // namespace tessaron::viewmodel
