#pragma once

// Small shared routines of the planner. Internal to the partition library.

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <algorithm>
#include <vector>

#include "partition/PartitionerDetail.hpp"

namespace tessaron::partition::planner {

using Cluster = detail::Cluster;

// The planner's random source: a 64-bit LCG whose state starts at seed + 1;
// each draw yields the top 31 bits of the new state over 2^31, in [0, 1).
class SeededGenerator {
public:
    explicit SeededGenerator(uint64_t seed) noexcept : state_(seed + 1) {}
    double next() noexcept {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return double(state_ >> 33) / 2147483648.0;
    }

private:
    uint64_t state_;
};

inline double distance3D(const Vec3& a, const Vec3& b) noexcept {
    double dx = a.x - b.x;
    double dy = a.y - b.y;
    double dz = a.z - b.z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

inline double squaredDistance(double ax, double az, double bx, double bz) noexcept {
    double dx = ax - bx;
    double dz = az - bz;
    return dx * dx + dz * dz;
}

// Floor of a Double as a signed 64-bit integer, saturating instead of the
// undefined conversion of an out-of-range value.
inline int64_t floorToInt(double value) noexcept {
    double floored = std::floor(value);
    if (std::isnan(floored)) return 0;
    if (floored <= -9.2e18) return std::numeric_limits<int64_t>::min();
    if (floored >= 9.2e18) return std::numeric_limits<int64_t>::max();
    return int64_t(floored);
}

inline int64_t ceilToInt(double value) noexcept { return -floorToInt(-value); }

// Gaussians of a cell of `points` core or expanded points: 85 % of its share
// of the scene budget, but never below its point count or 50,000.
struct GaussianShare {
    int64_t share;
    int64_t gaussians;
};
inline GaussianShare gaussianShare(double gaussiansPerPoint, int64_t points) noexcept {
    int64_t share = std::max<int64_t>(floorToInt(gaussiansPerPoint * double(points)), 50000);
    int64_t gaussians = std::max<int64_t>(floorToInt(0.85 * double(share)), std::max<int64_t>(points, 50000));
    return {share, gaussians};
}

// max(1, ceil(max(0, memory - base) / unit)): the cells a memory figure needs.
inline int64_t partsNeeded(double memory, double base, double unit) noexcept {
    return std::max<int64_t>(1, ceilToInt(std::max(0.0, memory - base) / unit));
}

// Index of the largest value (the first of equal ones); NaN never wins.
inline std::optional<size_t> indexOfLargest(std::span<const double> values) noexcept {
    std::optional<size_t> best;
    for (size_t index = 0; index < values.size(); ++index) {
        if (std::isnan(values[index])) continue;
        if (!best || values[index] > values[*best]) best = index;
    }
    return best;
}

// Centroid (mean x, mean z in record order) and radius (largest distance to
// the centroid) of the records for which `member` holds. Without any such
// record the cluster keeps its old values.
template <typename Member>
void fitCentroidAndRadius(Cluster& cluster, std::span<const GroundPoint> records, Member member) {
    double sumX = 0, sumZ = 0;
    size_t count = 0;
    for (size_t index = 0; index < records.size(); ++index) {
        if (!member(index)) continue;
        sumX += records[index].x;
        sumZ += records[index].z;
        ++count;
    }
    if (count == 0) return;
    cluster.centroidX = sumX / double(count);
    cluster.centroidZ = sumZ / double(count);
    double radius = 0;
    for (size_t index = 0; index < records.size(); ++index) {
        if (!member(index)) continue;
        radius = std::max(radius, std::sqrt(squaredDistance(records[index].x, records[index].z, cluster.centroidX,
                                                            cluster.centroidZ)));
    }
    cluster.radius = radius;
}

// One cluster of all records, fitted.
Cluster clusterOfAll(std::span<const GroundPoint> records);

// Splits records ordered by `order` (positions into `records`) at `splitIndex`
// into two fitted clusters: the first `splitIndex` positions and the rest.
std::vector<Cluster> twoWaySplit(std::span<const GroundPoint> records, std::span<const size_t> order,
                                 size_t splitIndex);

// Positions of `records` ordered by their projection on (dx, dz) about
// (cx, cz): ascending value, equal values by ascending id.
struct Projection {
    double value;
    size_t position;
};
std::vector<Projection> projectAndOrder(std::span<const GroundPoint> records, double dx, double dz, double cx,
                                        double cz);

// 3D centroid (mean of the positions) and robust radius (high end of the
// robust range of the distances to it, at least 1e-6) of `count` points.
template <typename Position>
std::pair<Vec3, double> centroidAndRobustRadius3D(size_t count, Position position) {
    if (count == 0) return {Vec3{}, 1e-6};
    double sumX = 0, sumY = 0, sumZ = 0;
    for (size_t index = 0; index < count; ++index) {
        Vec3 p = position(index);
        sumX += p.x;
        sumY += p.y;
        sumZ += p.z;
    }
    Vec3 centroid{sumX / double(count), sumY / double(count), sumZ / double(count)};
    std::vector<double> distances(count);
    for (size_t index = 0; index < count; ++index) distances[index] = distance3D(position(index), centroid);
    double radius = detail::robustRange(std::move(distances)).high;
    return {centroid, std::max(radius, 1e-6)};
}

// The cells one camera joins, from its observation count per cell and the
// distances from its centre to the cells' 3D centroids: the cell with most
// observations (the lowest index on ties), and when there are several cells,
// every other cell holding at least 30 % as many (at least 10) whose centroid
// lies within the nearest centroid's distance plus 0.2 x its robust radius.
// Returns false, joining nothing, when no cell holds 10 observations.
template <typename Count>
bool chooseCameraCells(std::span<const Count> counts, std::span<const double> centroidDistances,
                       std::span<const double> radii3D, std::vector<uint32_t>& joined) {
    joined.clear();
    if (counts.empty()) return false;
    size_t primary = 0;
    for (size_t cell = 1; cell < counts.size(); ++cell)
        if (counts[cell] > counts[primary]) primary = cell;
    Count largest = counts[primary];
    if (largest < 10) return false;
    joined.push_back(uint32_t(primary));
    if (counts.size() > 1) {
        double nearest = centroidDistances[0];
        for (double distance : centroidDistances) nearest = std::min(nearest, distance);
        int64_t threshold = floorToInt(0.3 * double(largest));
        if (threshold < 10) threshold = 10;
        for (size_t cell = 0; cell < counts.size(); ++cell) {
            if (cell == primary || int64_t(counts[cell]) < threshold) continue;
            if (centroidDistances[cell] <= nearest + 0.2 * radii3D[cell]) joined.push_back(uint32_t(cell));
        }
    }
    return true;
}

// Sorts Doubles ascending with NaN last, so that a stray NaN cannot break the
// ordering the sort relies on.
void sortAscending(std::vector<double>& values);
// Puts the value of rank `rank` (in ascending order, NaN last) at that index,
// with smaller values before it; looks only at indices from `from` on, which
// must already hold every value of rank `from` and above.
void selectAscending(std::vector<double>& values, size_t from, size_t rank);

}  // namespace tessaron::partition::planner
