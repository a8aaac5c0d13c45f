// The split search: two-way splits of the cell with the largest predicted
// memory, proposed along a few directions and ranked by the memory model.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <tuple>

#include "partition/MemoryModel.hpp"
#include "partition/PlannerMath.hpp"
#include "partition/PartitionerDetail.hpp"

namespace tessaron::partition {

using planner::Projection;

namespace {

struct Cut {
    size_t direction;
    int64_t k;
    bool operator==(const Cut&) const = default;
};

struct CutRecord {
    Cut cut;
    double memA;
    double memB;
    bool fit;
};

int64_t clampSplit(int64_t k, int64_t n) { return std::max<int64_t>(std::min(k, n - 2), 2); }

// Number of sorted values strictly below `bound`.
int64_t countBelow(const std::vector<double>& sortedValues, double bound) {
    return int64_t(std::lower_bound(sortedValues.begin(), sortedValues.end(), bound) - sortedValues.begin());
}

double cutValue(const std::vector<Projection>& order, int64_t k) {
    return (order[size_t(k - 1)].value + order[size_t(k)].value) / 2;
}

}  // namespace

detail::PrincipalAxis detail::principalAxis(std::span<const GroundPoint> points) {
    if (points.empty()) return {};
    double sumX = 0, sumZ = 0;
    for (const auto& point : points) {
        sumX += point.x;
        sumZ += point.z;
    }
    double meanX = sumX / double(points.size());
    double meanZ = sumZ / double(points.size());
    double sxx = 0, szz = 0, sxz = 0;
    for (const auto& point : points) {
        double dx = point.x - meanX;
        double dz = point.z - meanZ;
        sxx += dx * dx;
        szz += dz * dz;
        sxz += dx * dz;
    }
    double theta = 0.5 * std::atan2(2 * sxz, sxx - szz);
    return {std::cos(theta), std::sin(theta), meanX, meanZ};
}

void detail::SplitOptions::check() const {
    auto refuse = [](const std::string& field, const std::string& why) {
        throw VastGaussianPartitioner::OptionsError("Split option " + field + " " + why);
    };
    if (imageWidth < 1) refuse("imageWidth", "must be at least 1 (is " + std::to_string(imageWidth) + ")");
    if (imageHeight < 1) refuse("imageHeight", "must be at least 1 (is " + std::to_string(imageHeight) + ")");
    if (!(std::isfinite(gaussiansPerPoint) && gaussiansPerPoint >= 0))
        refuse("gaussiansPerPoint", "must be a number of at least 0");
    if (!(std::isfinite(budgetGB) && budgetGB > 0)) refuse("budgetGB", "must be a number above 0");
}

std::vector<std::vector<detail::Cluster>> detail::splitCandidates(const SplitOptions& options,
                                                                  const std::function<void(int64_t appended)>& appended) {
    options.check();
    const std::span<const GroundPoint> corePoints = options.corePoints;
    const std::span<const Point2D> cameraPositions = options.cameraPositions;
    const std::span<const int64_t> visibleCounts = options.visibleCounts;
    const double budgetGB = options.budgetGB;
    auto report = [&](int64_t count) {
        if (appended) appended(count);
    };
    int64_t n = int64_t(corePoints.size());
    int64_t cameraCount = int64_t(cameraPositions.size());
    std::vector<Cluster> kMeansSplit = kMeansXZ(corePoints, 2, options.seed, 50);
    if (n < 4 || cameraCount < 2 || kMeansSplit.size() != 2) {
        report(0);
        return {kMeansSplit};
    }

    PrincipalAxis axis = principalAxis(corePoints);
    std::vector<std::pair<double, double>> directions{{axis.cosTheta, axis.sinTheta},
                                                      {-axis.sinTheta, axis.cosTheta}};
    double separationX = kMeansSplit[1].centroidX - kMeansSplit[0].centroidX;
    double separationZ = kMeansSplit[1].centroidZ - kMeansSplit[0].centroidZ;
    double separation = std::sqrt(separationX * separationX + separationZ * separationZ);
    if (separation > 1e-9) directions.emplace_back(separationX / separation, separationZ / separation);

    std::vector<std::vector<Projection>> orders;
    std::vector<std::vector<double>> cameraValues;
    for (auto [dx, dz] : directions) {
        orders.push_back(planner::projectAndOrder(corePoints, dx, dz, axis.meanX, axis.meanZ));
        std::vector<double> values;
        for (const auto& camera : cameraPositions)
            values.push_back(dx * (camera.x - axis.meanX) + dz * (camera.z - axis.meanZ));
        planner::sortAscending(values);
        cameraValues.push_back(std::move(values));
    }

    MemoryModel model(options.imageWidth, options.imageHeight);
    double overhead = model.fixedOverheadGB();
    double room = std::max(0.1, budgetGB - overhead);
    auto halfMemory = [&](int64_t points, int64_t cameras) {
        return model.memGB(cameras, planner::gaussianShare(options.gaussiansPerPoint, points).gaussians);
    };

    // Memory-driven cuts: per direction the most balanced cut and the fullest
    // cut whose first (second) half fits the budget.
    std::vector<CutRecord> records;
    for (size_t direction = 0; direction < directions.size(); ++direction) {
        const auto& order = orders[direction];
        const auto& cameras = cameraValues[direction];
        int64_t cutCount = std::min<int64_t>(n - 1, 200);
        double margin = 0.2 * (order.back().value - order.front().value);
        std::optional<CutRecord> balancedBest, firstFit, secondFit;
        for (int64_t j = 1; j <= cutCount; ++j) {
            int64_t k = clampSplit(n * j / (cutCount + 1), n);
            double cut = cutValue(order, k);
            int64_t camerasA = countBelow(cameras, cut + margin);
            int64_t camerasB = cameraCount - countBelow(cameras, cut - margin);
            if (camerasA < 1 || camerasB < 1) continue;
            double memA = halfMemory(k, camerasA);
            double memB = halfMemory(n - k, camerasB);
            CutRecord record{{direction, k}, memA, memB, false};
            double largest = std::max(memA, memB);
            double imbalance = std::fabs(memA - memB);
            if (!balancedBest) {
                balancedBest = record;
            } else {
                double bestLargest = std::max(balancedBest->memA, balancedBest->memB);
                double bestImbalance = std::fabs(balancedBest->memA - balancedBest->memB);
                if (largest < bestLargest - 1e-12 ||
                    (std::fabs(largest - bestLargest) <= 1e-12 && imbalance < bestImbalance - 1e-12))
                    balancedBest = record;
            }
            if (memA <= budgetGB && (!firstFit || memA > firstFit->memA + 1e-12))
                firstFit = CutRecord{{direction, k}, memA, memB, true};
            if (memB <= budgetGB && (!secondFit || memB > secondFit->memB + 1e-12))
                secondFit = CutRecord{{direction, k}, memA, memB, true};
        }
        for (const auto& best : {balancedBest, firstFit, secondFit})
            if (best) records.push_back(*best);
    }

    auto rank = [&](const CutRecord& record) {
        return std::make_tuple(planner::partsNeeded(record.memA, overhead, room) +
                                   planner::partsNeeded(record.memB, overhead, room),
                               record.memA + record.memB, std::max(record.memA, record.memB), record.cut.direction,
                               record.cut.k);
    };
    std::stable_sort(records.begin(), records.end(),
                     [&](const CutRecord& a, const CutRecord& b) { return rank(a) < rank(b); });

    std::vector<Cut> selected;
    auto isSelected = [&](const Cut& cut) { return std::find(selected.begin(), selected.end(), cut) != selected.end(); };
    for (const auto& record : records) {
        if (selected.size() >= 3) break;
        if (!isSelected(record.cut)) selected.push_back(record.cut);
    }
    auto firstFitRecord = std::find_if(records.begin(), records.end(), [](const CutRecord& r) { return r.fit; });
    if (firstFitRecord != records.end()) {
        for (double factor : {0.88, 1.12}) {
            Cut neighbour{firstFitRecord->cut.direction,
                          clampSplit(planner::floorToInt(factor * double(firstFitRecord->cut.k)), n)};
            if (!isSelected(neighbour) && selected.size() < 5) selected.push_back(neighbour);
        }
    }

    // Balanced cuts, near the end of the search: halves with equal cameras,
    // or with equal observations of the cell's points.
    size_t memoryCutCount = selected.size();
    if (options.balanced) {
        size_t balancedAdded = 0;
        auto addBalanced = [&](Cut cut) {
            if (balancedAdded >= 12 || isSelected(cut)) return;
            selected.push_back(cut);
            ++balancedAdded;
        };
        bool withVisibility = !visibleCounts.empty() && int64_t(visibleCounts.size()) == cameraCount;
        for (size_t direction = 0; direction < directions.size() && balancedAdded < 12; ++direction) {
            const auto& order = orders[direction];
            const auto& cameras = cameraValues[direction];
            int64_t steps = std::min<int64_t>(n, 201);

            std::vector<int64_t> visiblePrefix;
            if (withVisibility) {
                std::vector<std::pair<double, int64_t>> pairs;
                auto [dx, dz] = directions[direction];
                for (int64_t camera = 0; camera < cameraCount; ++camera) {
                    const auto& position = cameraPositions[size_t(camera)];
                    pairs.emplace_back(dx * (position.x - axis.meanX) + dz * (position.z - axis.meanZ),
                                       visibleCounts[size_t(camera)]);
                }
                std::stable_sort(pairs.begin(), pairs.end(),
                                 [](const auto& a, const auto& b) { return a.first < b.first; });
                visiblePrefix.push_back(0);
                for (const auto& pair : pairs) visiblePrefix.push_back(visiblePrefix.back() + pair.second);
            }

            int64_t kCam = 0, kVis = 0, bestCam = 0, bestVis = 0;
            for (int64_t j = 1; j <= steps - 1; ++j) {
                int64_t k = clampSplit(n * j / steps, n);
                int64_t below = countBelow(cameras, cutValue(order, k));
                int64_t camImbalance = std::llabs(2 * below - cameraCount);
                if (j == 1 || camImbalance < bestCam) {
                    bestCam = camImbalance;
                    kCam = k;
                }
                if (withVisibility) {
                    int64_t visImbalance = std::llabs(2 * visiblePrefix[size_t(below)] - visiblePrefix.back());
                    if (j == 1 || visImbalance < bestVis) {
                        bestVis = visImbalance;
                        kVis = k;
                    }
                }
            }
            std::vector<int64_t> cuts{kCam};
            if (withVisibility) cuts.push_back(kVis);
            std::vector<double> fractions = direction == 0 ? std::vector<double>{0.06, 0.12, 0.2}
                                                           : std::vector<double>{0.12};
            for (double fraction : fractions) {
                int64_t offset = planner::floorToInt(fraction * double(n));
                cuts.push_back(clampSplit(kCam - offset, n));
                cuts.push_back(clampSplit(kCam + offset, n));
            }
            for (int64_t k : cuts) addBalanced({direction, k});
        }
    }

    struct Candidate {
        std::vector<Cluster> clusters;
        bool balancedCut;
    };
    std::vector<Candidate> candidates;
    for (size_t index = 0; index < selected.size(); ++index) {
        const auto& order = orders[selected[index].direction];
        std::vector<size_t> positions;
        positions.reserve(order.size());
        for (const auto& projection : order) positions.push_back(projection.position);
        candidates.push_back(
            {planner::twoWaySplit(corePoints, positions, size_t(selected[index].k)), index >= memoryCutCount});
    }
    candidates.push_back({std::move(kMeansSplit), false});

    // A candidate whose halves repeat the first half of a kept one is dropped.
    std::vector<std::vector<Cluster>> kept;
    int64_t balancedKept = 0;
    for (auto& candidate : candidates) {
        bool repeated = std::any_of(kept.begin(), kept.end(), [&](const std::vector<Cluster>& other) {
            return !other.empty() && std::any_of(candidate.clusters.begin(), candidate.clusters.end(),
                                                 [&](const Cluster& half) { return half.pointIds == other[0].pointIds; });
        });
        if (repeated) continue;
        if (candidate.balancedCut) ++balancedKept;
        kept.push_back(std::move(candidate.clusters));
    }
    report(balancedKept);
    return kept;
}

}  // namespace tessaron::partition
