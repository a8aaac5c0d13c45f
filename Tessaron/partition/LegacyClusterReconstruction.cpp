// Plans of an older format carry a cluster seed but no per-cell ids: the
// clusters are formed again with the same seeded k-means, and each cell's
// points and cameras are decided from them.
#include <algorithm>
#include <cmath>
#include <set>

#include "core/Error.hpp"
#include "partition/CellModels.hpp"
#include "partition/PlannerMath.hpp"
#include "partition/PartitionerDetail.hpp"

namespace tessaron::partition {

using planner::squaredDistance;

namespace {

bool hasPoint(const colmap::ImageModel::Point2D& observation) {
    return observation.point3D_id != colmap::ImageModel::kNoPoint3D;
}

// The cluster nearest to (x, z) on the ground plane; the lowest index on ties.
size_t nearestCluster(const std::vector<detail::Cluster>& clusters, double x, double z) {
    size_t nearest = 0;
    double nearestSquared = squaredDistance(x, z, clusters[0].centroidX, clusters[0].centroidZ);
    for (size_t j = 1; j < clusters.size(); ++j) {
        double squared = squaredDistance(x, z, clusters[j].centroidX, clusters[j].centroidZ);
        if (squared < nearestSquared) {
            nearestSquared = squared;
            nearest = j;
        }
    }
    return nearest;
}

}  // namespace

PointIdSet detail::expandedPointSet(size_t k, std::span<const GroundPoint> records,
                   const std::vector<Cluster>& clusters, double rate) {
    PointIdSet result;
    const Cluster& own = clusters.at(k);
    for (const auto& record : records) {
        double distance = std::sqrt(squaredDistance(record.x, record.z, own.centroidX, own.centroidZ));
        if (distance > (1 + rate) * own.radius) continue;
        size_t nearest = nearestCluster(clusters, record.x, record.z);
        double nearestDistance = std::sqrt(
            squaredDistance(record.x, record.z, clusters[nearest].centroidX, clusters[nearest].centroidZ));
        if (nearest == k || distance - nearestDistance <= rate * own.radius) result.insert(record.id);
    }
    return result;
}

detail::Overlap detail::clusterOverlap(const colmap::ImageModel& image, const PointIdSet& ids) {
    int64_t valid = 0, inside = 0;
    for (const auto& observation : image.points2D) {
        if (!hasPoint(observation)) continue;
        ++valid;
        if (ids.contains(observation.point3D_id)) ++inside;
    }
    return {inside, valid == 0 ? 0.0 : double(inside) / double(valid)};
}

std::optional<double> detail::distanceRatio(const Vec3& centre, const colmap::ImageModel& image,
                           const PointIdSet& ids, const colmap::Point3DMap& points) {
    double totalSum = 0, insideSum = 0;
    int64_t totalCount = 0, insideCount = 0;
    for (const auto& observation : image.points2D) {
        if (!hasPoint(observation)) continue;
        auto found = points.find(observation.point3D_id);
        if (found == points.end()) continue;
        double distance = planner::distance3D(centre, {found->second.x, found->second.y, found->second.z});
        totalSum += distance;
        ++totalCount;
        if (ids.contains(observation.point3D_id)) {
            insideSum += distance;
            ++insideCount;
        }
    }
    if (totalCount < 10 || insideCount < 1) return std::nullopt;
    double meanAll = totalSum / double(totalCount);
    if (!(meanAll > 0.001)) return std::nullopt;
    return (insideSum / double(insideCount)) / meanAll;
}

namespace cellmodels {

std::vector<MaterializedCell> reconstructLegacyCells(const PartitionPlan& plan,
                                                     const std::vector<PartitionCell>& trainable,
                                                     const colmap::COLMAPModel& model,
                                                     const colmap::Point3DMap& filtered,
                                                     const std::filesystem::path& partitionsFolder,
                                                     const PartitionLog& log, const MaterializationProgress& progress,
                                                     const CancelQuery& isCancelled) {
    using Cluster = detail::Cluster;
    auto say = [&](const std::string& line) {
        if (log) log(line);
    };
    const uint64_t seed = *plan.clusterSeed;
    say("Legacy plan: reconstructing clusters from seed " + std::to_string(seed));

    std::vector<Cluster> clusters;
    std::vector<PointIdSet> expandedSets;
    std::vector<std::set<int32_t>> cameraSets;
    if (!trainable.empty()) {
        CameraCentreMap centres;
        for (const auto& [id, image] : model.images)
            centres.emplace_hint(centres.end(), id, detail::cameraCentre(image));

        std::vector<GroundPoint> records;
        std::vector<double> xs, zs;
        records.reserve(filtered.size());
        for (const auto& [id, point] : filtered) {
            records.push_back({id, point.x, point.z});
            xs.push_back(point.x);
            zs.push_back(point.z);
        }
        auto rangeX = detail::robustRange(std::move(xs));
        auto rangeZ = detail::robustRange(std::move(zs));
        std::vector<GroundPoint> core;
        for (const auto& record : records)
            if (rangeX.low <= record.x && record.x <= rangeX.high && rangeZ.low <= record.z && record.z <= rangeZ.high)
                core.push_back(record);

        clusters = detail::kMeansXZ(core, int64_t(trainable.size()), seed, 50);
        say("Reconstructed " + std::to_string(clusters.size()) + " clusters from seed " + std::to_string(seed));

        std::set<int32_t> assigned;
        for (size_t k = 0; k < clusters.size(); ++k) {
            const Cluster& cluster = clusters[k];
            expandedSets.push_back(detail::expandedPointSet(k, records, clusters, 0.2));
            PointIdSet members(cluster.pointIds.begin(), cluster.pointIds.end());

            double density = 0;
            if (!cluster.pointIds.empty()) {
                double minX = INFINITY, maxX = -INFINITY, minZ = INFINITY, maxZ = -INFINITY;
                for (uint64_t id : cluster.pointIds) {
                    const auto& point = filtered.at(id);
                    minX = std::min(minX, point.x);
                    maxX = std::max(maxX, point.x);
                    minZ = std::min(minZ, point.z);
                    maxZ = std::max(maxZ, point.z);
                }
                double area = std::max((maxZ - minZ) * (maxX - minX), 0.01);
                int64_t inBox = 0;
                for (const auto& [id, centre] : centres)
                    if (minX <= centre.x && centre.x <= maxX && minZ <= centre.z && centre.z <= maxZ) ++inBox;
                density = double(inBox) / area;
            }
            double threshold = 1.5 - 0.8 * std::min(density / 10, 1.0);

            std::set<int32_t> cameras;
            for (const auto& [id, centre] : centres) {
                auto overlap = detail::clusterOverlap(model.images.at(id), members);
                if (!(overlap.f >= 0.05 || overlap.n >= 10)) continue;
                auto ratio = detail::distanceRatio(centre, model.images.at(id), members, filtered);
                if (ratio && *ratio <= threshold) cameras.insert(id);
            }
            assigned.insert(cameras.begin(), cameras.end());
            say(trainable[k].id + ": " + std::to_string(cameras.size()) + " images, " +
                std::to_string(expandedSets.back().size()) + " pts (cluster " + std::to_string(k) + ")");
            cameraSets.push_back(std::move(cameras));
        }

        // Images no cluster claimed go to the nearest one, so no photo is lost.
        int64_t swept = 0;
        if (!clusters.empty()) {
            for (const auto& [id, centre] : centres) {
                if (assigned.contains(id)) continue;
                cameraSets[nearestCluster(clusters, centre.x, centre.z)].insert(id);
                ++swept;
            }
        }
        if (swept > 0) say("  Orphan sweep: assigned " + std::to_string(swept) + " image(s) to nearest cluster");
    }

    const int64_t total = int64_t(trainable.size());
    if (progress) progress(0, total);
    std::vector<MaterializedCell> written;
    const std::set<int32_t> noImages;
    for (size_t k = 0; k < trainable.size(); ++k) {
        if (isCancelled && isCancelled()) throw core::CancellationError();
        const std::set<int32_t>& imageIds = k < cameraSets.size() ? cameraSets[k] : noImages;
        colmap::Point3DMap cellPoints;
        if (trainable.size() == 1) {
            say("Single-cell scene: keeping all " + std::to_string(filtered.size()) + " points (background declip)");
            cellPoints = filtered;
        } else if (k < expandedSets.size()) {
            cellPoints = selectPoints(filtered, expandedSets[k]);
        }
        // Points the cell's cameras see near the cluster complete its model.
        if (k < clusters.size()) {
            const Cluster& cluster = clusters[k];
            for (int32_t id : imageIds) {
                auto image = model.images.find(id);
                if (image == model.images.end()) continue;
                for (const auto& observation : image->second.points2D) {
                    if (!hasPoint(observation) || cellPoints.contains(observation.point3D_id)) continue;
                    auto point = filtered.find(observation.point3D_id);
                    if (point == filtered.end()) continue;
                    double distance = std::sqrt(
                        squaredDistance(point->second.x, point->second.z, cluster.centroidX, cluster.centroidZ));
                    if (distance <= 1.2 * cluster.radius) cellPoints.emplace(point->first, point->second);
                }
            }
        }
        written.push_back(writeCell(trainable[k], model, imageIds, imageIds.size(), std::move(cellPoints),
                                    plan.normalization, partitionsFolder, log));
        if (progress) progress(int64_t(written.size()), total);
    }
    return written;
}

}  // namespace cellmodels

}  // namespace tessaron::partition
