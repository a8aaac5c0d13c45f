// Seeded k-means on ground-plane points and the largest-first bisection.
#include <algorithm>
#include <cfloat>
#include <cmath>

#include "partition/PlannerMath.hpp"
#include "partition/PartitionerDetail.hpp"

namespace tessaron::partition {

using planner::squaredDistance;

namespace {

// k-means++ seeding. Returns fewer than `wanted` centres when every remaining
// point coincides with a chosen centre.
std::vector<size_t> seedCentres(std::span<const GroundPoint> points, size_t wanted, uint64_t seed) {
    size_t n = points.size();
    planner::SeededGenerator generator(seed);
    std::vector<size_t> centres;
    centres.push_back(size_t(std::floor(generator.next() * double(n))) % n);
    std::vector<double> nearestSquared(n, DBL_MAX);
    while (centres.size() < wanted) {
        const GroundPoint& newest = points[centres.back()];
        double total = 0;
        for (size_t index = 0; index < n; ++index) {
            double squared = squaredDistance(points[index].x, points[index].z, newest.x, newest.z);
            if (squared < nearestSquared[index]) nearestSquared[index] = squared;
            total += nearestSquared[index];
        }
        if (!(total > 0)) break;
        double target = generator.next() * total;
        size_t chosen = 0;
        double running = 0;
        for (size_t index = 0; index < n; ++index) {
            running += nearestSquared[index];
            if (target <= running) {
                chosen = index;
                break;
            }
        }
        centres.push_back(chosen);
    }
    return centres;
}

}  // namespace

std::vector<detail::Cluster> detail::kMeansXZ(std::span<const GroundPoint> points, int64_t k, uint64_t seed,
                                              int64_t iterations) {
    size_t n = points.size();
    if (n == 0) return {};
    size_t wanted = k <= 1 ? 1 : std::min(n, size_t(k));
    if (wanted <= 1) return {planner::clusterOfAll(points)};

    std::vector<size_t> seeds = seedCentres(points, wanted, seed);
    size_t clusterCount = seeds.size();
    std::vector<double> centreX(clusterCount), centreZ(clusterCount);
    for (size_t c = 0; c < clusterCount; ++c) {
        centreX[c] = points[seeds[c]].x;
        centreZ[c] = points[seeds[c]].z;
    }

    std::vector<size_t> assignment(n, 0);
    std::vector<double> sumX(clusterCount), sumZ(clusterCount);
    std::vector<int64_t> counts(clusterCount);
    for (int64_t iteration = 0; iteration < iterations; ++iteration) {
        std::fill(sumX.begin(), sumX.end(), 0.0);
        std::fill(sumZ.begin(), sumZ.end(), 0.0);
        std::fill(counts.begin(), counts.end(), 0);
        for (size_t index = 0; index < n; ++index) {
            size_t best = 0;
            double bestSquared = squaredDistance(points[index].x, points[index].z, centreX[0], centreZ[0]);
            for (size_t c = 1; c < clusterCount; ++c) {
                double squared = squaredDistance(points[index].x, points[index].z, centreX[c], centreZ[c]);
                if (squared < bestSquared) {
                    bestSquared = squared;
                    best = c;
                }
            }
            assignment[index] = best;
            sumX[best] += points[index].x;
            sumZ[best] += points[index].z;
            ++counts[best];
        }
        // An empty cluster takes the one point farthest from its own centre.
        for (size_t c = 0; c < clusterCount; ++c) {
            if (counts[c] != 0) continue;
            size_t farthest = 0;
            double farthestSquared = -1;
            for (size_t index = 0; index < n; ++index) {
                size_t own = assignment[index];
                double squared = squaredDistance(points[index].x, points[index].z, centreX[own], centreZ[own]);
                if (squared > farthestSquared) {
                    farthestSquared = squared;
                    farthest = index;
                }
            }
            size_t previous = assignment[farthest];
            sumX[previous] -= points[farthest].x;
            sumZ[previous] -= points[farthest].z;
            --counts[previous];
            assignment[farthest] = c;
            sumX[c] = points[farthest].x;
            sumZ[c] = points[farthest].z;
            counts[c] = 1;
        }
        bool converged = true;
        for (size_t c = 0; c < clusterCount; ++c) {
            if (counts[c] == 0) continue;
            double newX = sumX[c] / double(counts[c]);
            double newZ = sumZ[c] / double(counts[c]);
            if (std::fabs(newX - centreX[c]) + std::fabs(newZ - centreZ[c]) > 1e-6) converged = false;
            centreX[c] = newX;
            centreZ[c] = newZ;
        }
        if (converged) break;
    }

    std::vector<Cluster> clusters(clusterCount);
    for (size_t c = 0; c < clusterCount; ++c) {
        clusters[c].centroidX = centreX[c];
        clusters[c].centroidZ = centreZ[c];
    }
    for (size_t index = 0; index < n; ++index) {
        Cluster& cluster = clusters[assignment[index]];
        cluster.pointIds.push_back(points[index].id);
        cluster.radius = std::max(cluster.radius, std::sqrt(squaredDistance(points[index].x, points[index].z,
                                                                            cluster.centroidX, cluster.centroidZ)));
    }
    for (auto& cluster : clusters)
        if (!std::is_sorted(cluster.pointIds.begin(), cluster.pointIds.end()))
            std::sort(cluster.pointIds.begin(), cluster.pointIds.end());
    return clusters;
}

std::vector<detail::Cluster> detail::bisectLargest(std::span<const GroundPoint> points, int64_t k, uint64_t seed) {
    if (points.empty()) return {};
    std::vector<Cluster> clusters{planner::clusterOfAll(points)};
    if (k < 2) return clusters;
    // Clusters whose points all coincide cannot be split; they are passed over
    // so that the bisection never tries the same cluster forever.
    std::vector<bool> unsplittable{false};
    while (true) {
        std::optional<size_t> largest;
        for (size_t index = 0; index < clusters.size(); ++index) {
            if (unsplittable[index]) continue;
            if (!largest || clusters[index].pointIds.size() > clusters[*largest].pointIds.size()) largest = index;
        }
        if (!largest) return clusters;
        const auto& ids = clusters[*largest].pointIds;
        std::vector<GroundPoint> members;
        for (const auto& point : points)
            if (std::binary_search(ids.begin(), ids.end(), point.id)) members.push_back(point);
        if (members.size() < 2) return clusters;
        auto halves = kMeansXZ(members, 2, uint64_t(clusters.size()) + seed, 50);
        if (halves.size() < 2) {
            unsplittable[*largest] = true;
            continue;
        }
        clusters.erase(clusters.begin() + std::ptrdiff_t(*largest));
        unsplittable.erase(unsplittable.begin() + std::ptrdiff_t(*largest));
        for (auto& half : halves) {
            clusters.push_back(std::move(half));
            unsplittable.push_back(false);
        }
        if (clusters.size() >= size_t(k)) return clusters;
    }
}

}  // namespace tessaron::partition
