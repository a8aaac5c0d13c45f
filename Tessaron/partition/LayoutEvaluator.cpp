#include "partition/LayoutEvaluator.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "partition/PlannerMath.hpp"

namespace tessaron::partition::planner {

namespace {

// Squared distances above this bound cannot pass sqrt(d2) <= limit; below it
// the exact test decides. The margin covers the rounding of limit^2.
double discPrefilter(double limit) { return limit * limit * (1 + 1e-9); }

}  // namespace

SceneIndex SceneIndex::build(const engines::ImageMap& images, const engines::Point3DMap& points,
                             const CameraCentreMap& cameraCentres) {
    SceneIndex scene;
    size_t pointCount = points.size();
    scene.pointIds.reserve(pointCount);
    scene.x.reserve(pointCount);
    scene.y.reserve(pointCount);
    scene.z.reserve(pointCount);
    scene.records.reserve(pointCount);
    // Only looked up, never iterated: the order of the hash map cannot reach a result.
    std::unordered_map<uint64_t, uint32_t> denseOf;
    denseOf.reserve(pointCount);
    for (const auto& [id, point] : points) {
        uint32_t dense = uint32_t(scene.pointIds.size());
        denseOf.emplace(id, dense);
        scene.pointIds.push_back(id);
        scene.x.push_back(point.x);
        scene.y.push_back(point.y);
        scene.z.push_back(point.z);
        scene.records.push_back({dense, point.x, point.z});
    }

    scene.observationStart.push_back(0);
    std::vector<uint32_t> viewCounts(pointCount + 1, 0);
    for (const auto& [imageId, image] : images) {
        scene.imageIds.push_back(imageId);
        auto centre = cameraCentres.find(imageId);
        scene.hasCentre.push_back(centre != cameraCentres.end());
        scene.centres.push_back(centre != cameraCentres.end() ? centre->second : Vec3{});
        for (const auto& observation : image.points2D) {
            if (observation.point3D_id == engines::ImageModel::kNoPoint3D) continue;
            auto found = denseOf.find(observation.point3D_id);
            if (found == denseOf.end()) continue;
            scene.observationPoint.push_back(found->second);
            ++viewCounts[found->second + 1];
        }
        scene.observationStart.push_back(uint32_t(scene.observationPoint.size()));
    }

    scene.viewerStart.assign(pointCount + 1, 0);
    for (size_t point = 0; point < pointCount; ++point)
        scene.viewerStart[point + 1] = scene.viewerStart[point] + viewCounts[point + 1];
    scene.viewerImage.resize(scene.observationPoint.size());
    std::vector<uint32_t> fill(scene.viewerStart.begin(), scene.viewerStart.end() - 1);
    for (uint32_t image = 0; image < scene.imageIds.size(); ++image)
        for (uint32_t index = scene.observationStart[image]; index < scene.observationStart[image + 1]; ++index)
            scene.viewerImage[fill[scene.observationPoint[index]]++] = image;
    return scene;
}

std::vector<uint64_t> SceneIndex::denseIds(std::span<const uint64_t> ids) const {
    std::vector<uint64_t> dense;
    dense.reserve(ids.size());
    for (uint64_t id : ids) {
        auto found = std::lower_bound(pointIds.begin(), pointIds.end(), id);
        if (found != pointIds.end() && *found == id) dense.push_back(uint64_t(found - pointIds.begin()));
    }
    std::sort(dense.begin(), dense.end());
    return dense;
}

CellShape shapeOf(const SceneIndex& scene, const VastGaussianPartitioner::Cluster& cluster) {
    CellShape shape{cluster.centroidX, cluster.centroidZ, cluster.radius, {}, 1e-6};
    auto [centroid, radius] = centroidAndRobustRadius3D(cluster.pointIds.size(), [&](size_t index) {
        uint64_t dense = cluster.pointIds[index];
        return Vec3{scene.x[dense], scene.y[dense], scene.z[dense]};
    });
    shape.centroid3D = centroid;
    shape.radius3D = radius;
    return shape;
}

LayoutEvaluator::LayoutEvaluator(const SceneIndex& scene, MemoryModel model, double budgetGB,
                                 double gaussiansPerPoint)
    : scene_(scene), model_(model), budgetGB_(budgetGB), gaussiansPerPoint_(gaussiansPerPoint) {}

LayoutEvaluator::Base LayoutEvaluator::prepare(std::vector<CellShape> baseCells) const {
    Base base;
    base.cells = std::move(baseCells);
    size_t cellCount = base.cells.size();
    size_t pointCount = scene_.pointCount();
    const double* xs = scene_.x.data();
    const double* zs = scene_.z.data();

    base.nearest.assign(pointCount, -1);
    base.nearestSquared.assign(pointCount, std::numeric_limits<double>::infinity());
    for (size_t cell = 0; cell < cellCount; ++cell) {
        double cx = base.cells[cell].centroidX, cz = base.cells[cell].centroidZ;
        int32_t* nearest = base.nearest.data();
        double* nearestSquared = base.nearestSquared.data();
        for (size_t point = 0; point < pointCount; ++point) {
            double squared = squaredDistance(xs[point], zs[point], cx, cz);
            if (squared < nearestSquared[point]) {
                nearestSquared[point] = squared;
                nearest[point] = int32_t(cell);
            }
        }
    }

    // Discs, gathered per cell and then turned around to per point.
    std::vector<std::vector<std::pair<uint32_t, double>>> discPoints(cellCount);
    std::vector<uint32_t> discCounts(pointCount + 1, 0);
    for (size_t cell = 0; cell < cellCount; ++cell) {
        double cx = base.cells[cell].centroidX, cz = base.cells[cell].centroidZ;
        double limit = 1.2 * base.cells[cell].radius;
        double prefilter = discPrefilter(limit);
        for (size_t point = 0; point < pointCount; ++point) {
            double squared = squaredDistance(xs[point], zs[point], cx, cz);
            if (!(squared <= prefilter)) continue;
            double distance = std::sqrt(squared);
            if (distance <= limit) {
                discPoints[cell].emplace_back(uint32_t(point), distance);
                ++discCounts[point + 1];
            }
        }
    }
    base.discStart.assign(pointCount + 1, 0);
    for (size_t point = 0; point < pointCount; ++point)
        base.discStart[point + 1] = base.discStart[point] + discCounts[point + 1];
    base.discs.resize(base.discStart[pointCount]);
    std::vector<uint32_t> fill(base.discStart.begin(), base.discStart.end() - 1);
    base.expandedCounts.assign(cellCount, 0);
    for (size_t cell = 0; cell < cellCount; ++cell) {
        double margin = 0.2 * base.cells[cell].radius;
        for (auto [point, distance] : discPoints[cell]) {
            bool member = base.nearest[point] == int32_t(cell) ||
                          distance - std::sqrt(base.nearestSquared[point]) <= margin;
            base.discs[fill[point]++] = {uint32_t(cell), member ? 1u : 0u, distance};
            if (member) ++base.expandedCounts[cell];
        }
    }

    size_t imageCount = scene_.imageCount();
    base.observationCounts.assign(imageCount * cellCount, 0);
    base.centroidDistances.assign(imageCount * cellCount, 0.0);
    for (size_t image = 0; image < imageCount; ++image) {
        int32_t* row = base.observationCounts.data() + image * cellCount;
        for (uint32_t index = scene_.observationStart[image]; index < scene_.observationStart[image + 1]; ++index) {
            uint32_t point = scene_.observationPoint[index];
            for (uint32_t entry = base.discStart[point]; entry < base.discStart[point + 1]; ++entry)
                if (base.discs[entry].member) ++row[base.discs[entry].cell];
        }
        if (!scene_.hasCentre[image]) continue;
        for (size_t cell = 0; cell < cellCount; ++cell)
            base.centroidDistances[image * cellCount + cell] =
                distance3D(scene_.centres[image], base.cells[cell].centroid3D);
    }
    return base;
}

EvalOutcome LayoutEvaluator::evaluate(const Base& base, std::span<const CellShape> added,
                                      bool withExpandedSets) const {
    size_t baseCount = base.cells.size();
    size_t addedCount = added.size();
    size_t cellCount = baseCount + addedCount;
    size_t pointCount = scene_.pointCount();
    size_t imageCount = scene_.imageCount();

    EvalOutcome outcome;
    outcome.expandedCounts.assign(cellCount, 0);
    std::copy(base.expandedCounts.begin(), base.expandedCounts.end(), outcome.expandedCounts.begin());
    if (withExpandedSets) outcome.expandedSets.resize(cellCount);

    std::vector<int32_t> counts(imageCount * cellCount, 0);
    for (size_t image = 0; image < imageCount; ++image)
        std::copy_n(base.observationCounts.data() + image * baseCount, baseCount, counts.data() + image * cellCount);

    std::vector<double> limits(addedCount), prefilters(addedCount), margins(addedCount), squared(addedCount);
    for (size_t j = 0; j < addedCount; ++j) {
        limits[j] = 1.2 * added[j].radius;
        prefilters[j] = discPrefilter(limits[j]);
        margins[j] = 0.2 * added[j].radius;
    }

    auto adjust = [&](uint32_t point, size_t cell, int32_t delta) {
        outcome.expandedCounts[cell] += delta;
        for (uint32_t index = scene_.viewerStart[point]; index < scene_.viewerStart[point + 1]; ++index)
            counts[size_t(scene_.viewerImage[index]) * cellCount + cell] += delta;
    };

    const double* xs = scene_.x.data();
    const double* zs = scene_.z.data();
    for (uint32_t point = 0; point < pointCount; ++point) {
        int32_t baseNearest = base.nearest[point];
        int32_t nearest = baseNearest;
        double nearestSquared = base.nearestSquared[point];
        bool nearAdded = false;
        for (size_t j = 0; j < addedCount; ++j) {
            squared[j] = squaredDistance(xs[point], zs[point], added[j].centroidX, added[j].centroidZ);
            // Strictly closer only: on equal distances the earlier cell stays nearest.
            if (squared[j] < nearestSquared) {
                nearestSquared = squared[j];
                nearest = int32_t(baseCount + j);
            }
            if (squared[j] <= prefilters[j]) nearAdded = true;
        }
        bool nearestChanged = nearest != baseNearest;
        if (!nearestChanged && !nearAdded && !withExpandedSets) continue;

        double nearestDistance = std::sqrt(nearestSquared);
        for (uint32_t entry = base.discStart[point]; entry < base.discStart[point + 1]; ++entry) {
            const DiscEntry& disc = base.discs[entry];
            bool member = disc.member != 0;
            if (nearestChanged)
                member = disc.distance - nearestDistance <= 0.2 * base.cells[disc.cell].radius;
            if (member != (disc.member != 0)) adjust(point, disc.cell, member ? 1 : -1);
            if (member && withExpandedSets) outcome.expandedSets[disc.cell].push_back(point);
        }
        for (size_t j = 0; j < addedCount; ++j) {
            if (!(squared[j] <= prefilters[j])) continue;
            double distance = std::sqrt(squared[j]);
            if (!(distance <= limits[j])) continue;
            size_t cell = baseCount + j;
            if (nearest == int32_t(cell) || distance - nearestDistance <= margins[j]) {
                adjust(point, cell, 1);
                if (withExpandedSets) outcome.expandedSets[cell].push_back(point);
            }
        }
    }

    // Camera assignment, images in ascending id order.
    outcome.cameraSets.resize(cellCount);
    std::vector<double> distances(cellCount), radii3D(cellCount);
    for (size_t cell = 0; cell < cellCount; ++cell)
        radii3D[cell] = cell < baseCount ? base.cells[cell].radius3D : added[cell - baseCount].radius3D;
    std::vector<uint32_t> joined;
    for (size_t image = 0; image < imageCount; ++image) {
        if (!scene_.hasCentre[image]) continue;
        std::copy_n(base.centroidDistances.data() + image * baseCount, baseCount, distances.data());
        for (size_t j = 0; j < addedCount; ++j)
            distances[baseCount + j] = distance3D(scene_.centres[image], added[j].centroid3D);
        std::span<const int32_t> row(counts.data() + image * cellCount, cellCount);
        if (!chooseCameraCells<int32_t>(row, distances, radii3D, joined)) {
            ++outcome.dropped;
            continue;
        }
        for (uint32_t cell : joined) outcome.cameraSets[cell].push_back(uint32_t(image));
    }

    outcome.cameraCounts.resize(cellCount);
    outcome.targetMems.resize(cellCount);
    for (size_t cell = 0; cell < cellCount; ++cell) {
        outcome.cameraCounts[cell] = int64_t(outcome.cameraSets[cell].size());
        GaussianShare share = gaussianShare(gaussiansPerPoint_, outcome.expandedCounts[cell]);
        double memory = model_.memGB(outcome.cameraCounts[cell], share.gaussians);
        outcome.targetMems[cell] = memory;
        outcome.totalDemand += share.share;
        outcome.worstMem = cell == 0 ? memory : std::max(outcome.worstMem, memory);
        if (!(memory <= budgetGB_)) outcome.allFeasible = false;
    }
    return outcome;
}

EvalOutcome LayoutEvaluator::evaluateWhole(std::vector<CellShape> cells, bool withExpandedSets) const {
    return evaluate(prepare(std::move(cells)), {}, withExpandedSets);
}

}  // namespace tessaron::partition::planner
