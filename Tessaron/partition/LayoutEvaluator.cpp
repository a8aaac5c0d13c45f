#include "partition/LayoutEvaluator.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "core/ParallelFor.hpp"
#include "partition/PlannerMath.hpp"

namespace tessaron::partition::planner {

namespace {

// Squared distances above this bound cannot pass sqrt(d2) <= limit; below it
// the exact test decides. The margin covers the rounding of limit^2.
double discPrefilter(double limit) { return limit * limit * (1 + 1e-9); }

// The squared distance from (cx, cz) to a bin's box: no point of the bin is
// closer. The rounded differences are monotone, so the bound holds for the
// points' computed distances too.
double squaredDistanceToBin(const SceneIndex::BinBounds& bounds, double cx, double cz) {
    double dx = cx < bounds.minX ? bounds.minX - cx : cx > bounds.maxX ? cx - bounds.maxX : 0;
    double dz = cz < bounds.minZ ? bounds.minZ - cz : cz > bounds.maxZ ? cz - bounds.maxZ : 0;
    return dx * dx + dz * dz;
}

// Whether some point of the bin may lie within the prefilter distance.
bool binReachable(const SceneIndex::BinBounds& bounds, double cx, double cz, double prefilter) {
    double squared = squaredDistanceToBin(bounds, cx, cz);
    return squared <= prefilter || std::isnan(squared);
}

}  // namespace

SceneIndex SceneIndex::build(const colmap::ImageMap& images, const colmap::Point3DMap& points,
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
    for (const auto& [imageId, image] : images) {
        scene.imageIds.push_back(imageId);
        auto centre = cameraCentres.find(imageId);
        scene.hasCentre.push_back(centre != cameraCentres.end());
        scene.centres.push_back(centre != cameraCentres.end() ? centre->second : Vec3{});
        for (const auto& observation : image.points2D) {
            if (observation.point3D_id == colmap::ImageModel::kNoPoint3D) continue;
            auto found = denseOf.find(observation.point3D_id);
            if (found != denseOf.end()) scene.observationPoint.push_back(found->second);
        }
        scene.observationStart.push_back(uint32_t(scene.observationPoint.size()));
    }

    // Bins of about 64 points over the robust extent; stray points fall into
    // the edge bins, whose bounds grow to hold them.
    size_t side = std::clamp<size_t>(size_t(std::sqrt(double(pointCount) / 64)), 1, 512);
    auto rangeX = detail::robustRange(scene.x);
    auto rangeZ = detail::robustRange(scene.z);
    auto binOf = [&](double value, const detail::Range& range) {
        double span = range.high - range.low;
        double position = span > 0 ? (value - range.low) / span * double(side) : 0;
        if (!(position > 0)) return size_t(0);
        return std::min(size_t(position), side - 1);
    };
    std::vector<uint32_t> binOfPoint(pointCount);
    std::vector<uint32_t> binCounts(side * side + 1, 0);
    for (size_t point = 0; point < pointCount; ++point) {
        binOfPoint[point] = uint32_t(binOf(scene.z[point], rangeZ) * side + binOf(scene.x[point], rangeX));
        ++binCounts[binOfPoint[point] + 1];
    }
    scene.binStart.assign(side * side + 1, 0);
    for (size_t bin = 0; bin < side * side; ++bin) scene.binStart[bin + 1] = scene.binStart[bin] + binCounts[bin + 1];
    scene.binBounds.assign(side * side, {INFINITY, -INFINITY, INFINITY, -INFINITY});
    scene.slotOfPoint.resize(pointCount);
    scene.pointOfSlot.resize(pointCount);
    scene.slotX.resize(pointCount);
    scene.slotZ.resize(pointCount);
    std::vector<uint32_t> binFill(scene.binStart.begin(), scene.binStart.end() - 1);
    for (uint32_t point = 0; point < pointCount; ++point) {
        uint32_t bin = binOfPoint[point];
        uint32_t slot = binFill[bin]++;
        scene.slotOfPoint[point] = slot;
        scene.pointOfSlot[slot] = point;
        scene.slotX[slot] = scene.x[point];
        scene.slotZ[slot] = scene.z[point];
        auto& bounds = scene.binBounds[bin];
        bounds = {std::min(bounds.minX, scene.x[point]), std::max(bounds.maxX, scene.x[point]),
                  std::min(bounds.minZ, scene.z[point]), std::max(bounds.maxZ, scene.z[point])};
    }

    scene.observationSlot.resize(scene.observationPoint.size());
    std::vector<uint32_t> viewCounts(pointCount + 1, 0);
    for (size_t index = 0; index < scene.observationPoint.size(); ++index) {
        scene.observationSlot[index] = scene.slotOfPoint[scene.observationPoint[index]];
        ++viewCounts[scene.observationSlot[index] + 1];
    }
    scene.viewerStart.assign(pointCount + 1, 0);
    for (size_t slot = 0; slot < pointCount; ++slot) scene.viewerStart[slot + 1] = scene.viewerStart[slot] + viewCounts[slot + 1];
    scene.viewerImage.resize(scene.observationSlot.size());
    std::vector<uint32_t> fill(scene.viewerStart.begin(), scene.viewerStart.end() - 1);
    for (uint32_t image = 0; image < scene.imageIds.size(); ++image)
        for (uint32_t index = scene.observationStart[image]; index < scene.observationStart[image + 1]; ++index)
            scene.viewerImage[fill[scene.observationSlot[index]]++] = image;
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

CellShape shapeOf(const SceneIndex& scene, const detail::Cluster& cluster) {
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
    const double* xs = scene_.slotX.data();
    const double* zs = scene_.slotZ.data();
    base.nearest.assign(pointCount, -1);
    base.nearestSquared.assign(pointCount, std::numeric_limits<double>::infinity());

    // Whole bins in chunks of about 16384 slots, on every core; each chunk
    // writes only its own slots and its own disc list, joined in chunk order
    // afterwards.
    size_t binCount = scene_.binBounds.size();
    std::vector<size_t> chunkBins{0};
    for (size_t bin = 0; bin < binCount; ++bin)
        if (scene_.binStart[bin + 1] - scene_.binStart[chunkBins.back()] >= 16384 || bin + 1 == binCount)
            chunkBins.push_back(bin + 1);
    size_t chunkCount = chunkBins.size() - 1;
    std::vector<std::vector<DiscEntry>> chunkDiscs(chunkCount);
    std::vector<std::vector<uint32_t>> chunkDiscCounts(chunkCount);
    base.binNearestSquared.assign(binCount, -INFINITY);
    core::parallelFor(chunkCount, [&](size_t chunk) {
        size_t firstBin = chunkBins[chunk], lastBin = chunkBins[chunk + 1];
        size_t first = scene_.binStart[firstBin], last = scene_.binStart[lastBin];
        int32_t* nearest = base.nearest.data();
        double* nearestSquared = base.nearestSquared.data();
        for (size_t cell = 0; cell < cellCount; ++cell) {
            double cx = base.cells[cell].centroidX, cz = base.cells[cell].centroidZ;
            for (size_t point = first; point < last; ++point) {
                double squared = squaredDistance(xs[point], zs[point], cx, cz);
                if (squared < nearestSquared[point]) {
                    nearestSquared[point] = squared;
                    nearest[point] = int32_t(cell);
                }
            }
        }
        for (size_t bin = firstBin; bin < lastBin; ++bin)
            for (uint32_t slot = scene_.binStart[bin]; slot < scene_.binStart[bin + 1]; ++slot)
                base.binNearestSquared[bin] = std::max(base.binNearestSquared[bin], nearestSquared[slot]);

        // Discs found cell by cell over the bins they reach, then ordered by
        // slot (cells ascending within a slot).
        std::vector<std::pair<uint32_t, DiscEntry>> found;
        for (size_t cell = 0; cell < cellCount; ++cell) {
            double cx = base.cells[cell].centroidX, cz = base.cells[cell].centroidZ;
            double limit = 1.2 * base.cells[cell].radius;
            double prefilter = discPrefilter(limit);
            double margin = 0.2 * base.cells[cell].radius;
            for (size_t bin = firstBin; bin < lastBin; ++bin) {
                if (!binReachable(scene_.binBounds[bin], cx, cz, prefilter)) continue;
                for (size_t point = scene_.binStart[bin]; point < scene_.binStart[bin + 1]; ++point) {
                    double squared = squaredDistance(xs[point], zs[point], cx, cz);
                    if (!(squared <= prefilter)) continue;
                    double distance = std::sqrt(squared);
                    if (!(distance <= limit)) continue;
                    bool member =
                        nearest[point] == int32_t(cell) || distance - std::sqrt(nearestSquared[point]) <= margin;
                    found.push_back({uint32_t(point - first), {uint32_t(cell), member ? 1u : 0u, distance}});
                }
            }
        }
        auto& counts = chunkDiscCounts[chunk];
        counts.assign(last - first + 1, 0);
        for (const auto& [offset, entry] : found) ++counts[offset + 1];
        for (size_t offset = 0; offset < last - first; ++offset) counts[offset + 1] += counts[offset];
        std::vector<uint32_t> fill(counts.begin(), counts.end() - 1);
        auto& discs = chunkDiscs[chunk];
        discs.resize(found.size());
        for (const auto& [offset, entry] : found) discs[fill[offset]++] = entry;
    });

    base.discStart.assign(pointCount + 1, 0);
    base.expandedCounts.assign(cellCount, 0);
    for (size_t chunk = 0; chunk < chunkCount; ++chunk) {
        size_t first = scene_.binStart[chunkBins[chunk]];
        uint32_t offset = uint32_t(base.discs.size());
        const auto& counts = chunkDiscCounts[chunk];
        for (size_t index = 1; index < counts.size(); ++index) base.discStart[first + index] = offset + counts[index];
        for (const auto& entry : chunkDiscs[chunk])
            if (entry.member) ++base.expandedCounts[entry.cell];
        base.discs.insert(base.discs.end(), chunkDiscs[chunk].begin(), chunkDiscs[chunk].end());
    }

    size_t imageCount = scene_.imageCount();
    base.observationCounts.assign(imageCount * cellCount, 0);
    base.centroidDistances.assign(imageCount * cellCount, 0.0);
    core::parallelFor((imageCount + 255) / 256, [&](size_t block) {
        for (size_t image = block * 256; image < std::min(imageCount, block * 256 + 256); ++image) {
            int32_t* row = base.observationCounts.data() + image * cellCount;
            for (uint32_t index = scene_.observationStart[image]; index < scene_.observationStart[image + 1];
                 ++index) {
                uint32_t slot = scene_.observationSlot[index];
                for (uint32_t entry = base.discStart[slot]; entry < base.discStart[slot + 1]; ++entry)
                    if (base.discs[entry].member) ++row[base.discs[entry].cell];
            }
            if (!scene_.hasCentre[image]) continue;
            for (size_t cell = 0; cell < cellCount; ++cell)
                base.centroidDistances[image * cellCount + cell] =
                    distance3D(scene_.centres[image], base.cells[cell].centroid3D);
        }
    });
    return base;
}

// Visits the slots whose expanded-set membership can differ from the base
// alone: those now nearest to an added cell or inside an added cell's disc.
// With `everyPoint` it visits every slot; otherwise it passes over bins that
// no added cell can reach.
template <typename Visit>
void LayoutEvaluator::forEachPoint(const Base& base, std::span<const CellShape> added, bool everyPoint,
                                   Visit visit) const {
    if (everyPoint || added.empty()) {
        for (uint32_t point = 0; point < scene_.pointCount(); ++point) visit(point);
        return;
    }
    std::vector<double> prefilters;
    for (const auto& cell : added) prefilters.push_back(discPrefilter(1.2 * cell.radius));
    for (size_t bin = 0; bin < scene_.binBounds.size(); ++bin) {
        if (scene_.binStart[bin] == scene_.binStart[bin + 1]) continue;
        const auto& bounds = scene_.binBounds[bin];
        bool reachable = false;
        for (size_t j = 0; j < added.size() && !reachable; ++j) {
            double squared = squaredDistanceToBin(bounds, added[j].centroidX, added[j].centroidZ);
            reachable = squared <= prefilters[j] || squared < base.binNearestSquared[bin] || std::isnan(squared);
        }
        if (!reachable) continue;
        for (uint32_t slot = scene_.binStart[bin]; slot < scene_.binStart[bin + 1]; ++slot) visit(slot);
    }
}

EvalOutcome LayoutEvaluator::evaluate(const Base& base, std::span<const CellShape> added,
                                      bool withExpandedSets) const {
    size_t baseCount = base.cells.size();
    size_t addedCount = added.size();
    size_t cellCount = baseCount + addedCount;
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

    const double* xs = scene_.slotX.data();
    const double* zs = scene_.slotZ.data();
    forEachPoint(base, added, withExpandedSets, [&](uint32_t point) {
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
        if (!nearestChanged && !nearAdded && !withExpandedSets) return;

        double nearestDistance = std::sqrt(nearestSquared);
        for (uint32_t entry = base.discStart[point]; entry < base.discStart[point + 1]; ++entry) {
            const DiscEntry& disc = base.discs[entry];
            bool member = disc.member != 0;
            if (nearestChanged)
                member = disc.distance - nearestDistance <= 0.2 * base.cells[disc.cell].radius;
            if (member != (disc.member != 0)) adjust(point, disc.cell, member ? 1 : -1);
            if (member && withExpandedSets) outcome.expandedSets[disc.cell].push_back(scene_.pointOfSlot[point]);
        }
        for (size_t j = 0; j < addedCount; ++j) {
            if (!(squared[j] <= prefilters[j])) continue;
            double distance = std::sqrt(squared[j]);
            if (!(distance <= limits[j])) continue;
            size_t cell = baseCount + j;
            if (nearest == int32_t(cell) || distance - nearestDistance <= margins[j]) {
                adjust(point, cell, 1);
                if (withExpandedSets) outcome.expandedSets[cell].push_back(scene_.pointOfSlot[point]);
            }
        }
    });

    for (auto& set : outcome.expandedSets) std::sort(set.begin(), set.end());

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
