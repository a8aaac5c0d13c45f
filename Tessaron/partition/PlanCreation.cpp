// createPlan for a model in memory: training size, budget, scene bounds and
// normalisation around the cluster partition.
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <set>

#include "core/NumberText.hpp"
#include "engines/PhysicalMemory.hpp"
#include "partition/MemoryModel.hpp"
#include "partition/PartitionerDetail.hpp"

namespace tessaron::partition {

using core::fixedText;

namespace {

// A whole base-10 integer with an optional sign, as the names' camera numbers are read.
std::optional<int64_t> parseInteger(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || text.front() == '+') return std::nullopt;
    int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string text(int64_t value) { return std::to_string(value); }
std::string text(uint64_t value) { return std::to_string(value); }

double smallest(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}
double largest(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

}  // namespace

VastGaussianPartitioner::PartitionError::PartitionError(PartitionErrorKind kind)
    : core::ErrorOf<PartitionErrorKind>(kind, message(kind)) {}

std::string VastGaussianPartitioner::PartitionError::message(PartitionErrorKind kind) {
    switch (kind) {
        case PartitionErrorKind::noImages: return "COLMAP data contains no registered images";
        case PartitionErrorKind::noPoints: return "COLMAP data contains no 3D points";
        case PartitionErrorKind::noCameras: return "COLMAP data contains no camera models";
        case PartitionErrorKind::legacyPlanFormat:
            return "Partition plan was created with old grid format. Delete the plan JSON and re-run to generate a "
                   "new cluster-based plan.";
        case PartitionErrorKind::nonFiniteCoordinate:
            return "The partition plan's normalization turns a coordinate into infinity or NaN: its radius cannot be "
                   "used. Delete the plan JSON and re-run to plan again.";
    }
    return "Partition error";
}

double VastGaussianPartitioner::ramLimitGB(std::optional<double> requestedGB, uint64_t physicalMemoryBytes) {
    if (requestedGB) return *requestedGB;
    return std::max(double(physicalMemoryBytes) / 1073741824.0 - 3, 4.0);
}

double detail::budgetGB(double ramLimitGB) { return std::max(ramLimitGB - 2.5, 1.0); }

int64_t detail::detectedViewsPerFrame(const colmap::ImageMap& images) {
    std::set<int64_t> rigCameras;
    for (const auto& [id, image] : images) {
        auto slash = image.name.find('/');
        if (slash == std::string::npos) continue;
        std::string_view folder(image.name.data(), slash);
        if (folder.starts_with("cam")) folder.remove_prefix(3);
        if (auto number = parseInteger(folder)) rigCameras.insert(*number);
    }
    return rigCameras.size() >= 2 ? int64_t(rigCameras.size()) : 1;
}

Vec3 detail::cameraCentre(const colmap::ImageModel& image) {
    double w = image.qw, x = image.qx, y = image.qy, z = image.qz;
    double r00 = 1 - 2 * (y * y + z * z), r01 = 2 * (x * y - w * z), r02 = 2 * (x * z + w * y);
    double r10 = 2 * (x * y + w * z), r11 = 1 - 2 * (x * x + z * z), r12 = 2 * (y * z - w * x);
    double r20 = 2 * (x * z - w * y), r21 = 2 * (y * z + w * x), r22 = 1 - 2 * (x * x + y * y);
    return {-(r00 * image.tx + r10 * image.ty + r20 * image.tz), -(r01 * image.tx + r11 * image.ty + r21 * image.tz),
            -(r02 * image.tx + r12 * image.ty + r22 * image.tz)};
}

void VastGaussianPartitioner::PlanOptions::check() const {
    auto refuse = [](const std::string& field, const std::string& why) {
        throw OptionsError("Partition option " + field + " " + why);
    };
    auto atLeast = [&](const std::string& field, int64_t value, int64_t minimum) {
        if (value < minimum) refuse(field, "must be at least " + text(minimum) + " (is " + text(value) + ")");
    };
    atLeast("downscaleFactor", downscaleFactor, 0);
    atLeast("iterationFloor", iterationFloor, 1);
    atLeast("gaussianBudget", gaussianBudget, 1);
    if (ramLimitGB && !(std::isfinite(*ramLimitGB) && *ramLimitGB >= 0))
        refuse("ramLimitGB", "must be a number of at least 0");
    atLeast("viewsPerFrame", viewsPerFrame, 0);
}

PartitionPlan VastGaussianPartitioner::createPlan(const colmap::COLMAPModel& model, const PlanOptions& options,
                                                  const PartitionLog& log, const PartitionProgressHandler& progress) {
    options.check();
    const int64_t downscaleFactor = options.downscaleFactor;
    auto say = [&](const std::string& line) {
        if (log) log(line);
    };
    const auto& images = model.images;
    const auto& points = model.points3D;
    const auto& cameras = model.cameras;
    say("Loaded " + text(images.size()) + " images, " + text(points.size()) + " points, " + text(cameras.size()) +
        " camera(s).");

    int64_t views = options.viewsPerFrame;
    if (views < 1) {
        views = detail::detectedViewsPerFrame(images);
        if (views >= 2)
            say("Detected " + text(views) +
                "-view rig layout (camN/ image prefixes) — image-count heuristics use physical positions.");
    }
    if (progress) progress({"Analyzing scene (" + text(points.size() / 1000) + "K points)…", {}, 0});

    if (images.empty()) throw PartitionError(PartitionErrorKind::noImages);
    if (points.empty()) throw PartitionError(PartitionErrorKind::noPoints);
    colmap::Point3DMap filtered = detail::filterSfMPoints(points, log);
    if (cameras.empty()) throw PartitionError(PartitionErrorKind::noCameras);

    const colmap::CameraModel& camera = cameras.begin()->second;
    uint64_t divisor = uint64_t(std::max<int64_t>(1, downscaleFactor));
    int64_t width = int64_t(camera.width / divisor);
    int64_t height = int64_t(camera.height / divisor);
    say("Image resolution: " + text(camera.width) + "×" + text(camera.height) + " → " + text(width) + "×" +
        text(height) + " at " + text(downscaleFactor) + "× downscale");

    double ramGB = ramLimitGB(options.ramLimitGB, engines::physicalMemoryBytes());
    double budget = detail::budgetGB(ramGB);
    say("App RAM: " + fixedText(ramGB, 1) + " GB limit, " + fixedText(2.5, 1) + " GB framework overhead, " +
        fixedText(budget, 1) + " GB budget per cell");

    CameraCentreMap centres;
    for (const auto& [id, image] : images) centres.emplace_hint(centres.end(), id, detail::cameraCentre(image));

    std::vector<double> xs, zs;
    for (const auto& [id, point] : filtered) {
        xs.push_back(point.x);
        zs.push_back(point.z);
    }
    detail::Range rangeX = detail::robustRange(xs);
    detail::Range rangeZ = detail::robustRange(zs);
    say("Raw point cloud bounds: X [" + fixedText(smallest(xs), 2) + ", " + fixedText(largest(xs), 2) + "], Z [" +
        fixedText(smallest(zs), 2) + ", " + fixedText(largest(zs), 2) + "]");
    say("IQR-filtered bounds: X [" + fixedText(rangeX.low, 2) + ", " + fixedText(rangeX.high, 2) + "], Z [" +
        fixedText(rangeZ.low, 2) + ", " + fixedText(rangeZ.high, 2) + "]");

    std::vector<double> centreXs, centreZs;
    double sumX = 0, sumY = 0, sumZ = 0;
    for (const auto& [id, centre] : centres) {
        centreXs.push_back(centre.x);
        centreZs.push_back(centre.z);
        sumX += centre.x;
        sumY += centre.y;
        sumZ += centre.z;
    }
    CellBounds hybrid{std::min(rangeX.low, smallest(centreXs)), std::max(rangeX.high, largest(centreXs)),
                      std::min(rangeZ.low, smallest(centreZs)), std::max(rangeZ.high, largest(centreZs))};
    say("Hybrid grid bounds: X [" + fixedText(hybrid.minX, 2) + ", " + fixedText(hybrid.maxX, 2) + "], Z [" +
        fixedText(hybrid.minZ, 2) + ", " + fixedText(hybrid.maxZ, 2) + "]");

    double count = double(centres.size());
    SceneNormalization normalization{sumX / count, sumY / count, sumZ / count, 1};
    double farthest = 0;
    for (const auto& [id, centre] : centres) {
        double dx = centre.x - normalization.centerX;
        double dy = centre.y - normalization.centerY;
        double dz = centre.z - normalization.centerZ;
        farthest = std::max(farthest, std::sqrt(dx * dx + dy * dy + dz * dz));
    }
    if (farthest == 0) farthest = 1;
    normalization.radius = std::max(farthest, 0.000001);
    say("Scene normalization: center=(" + fixedText(normalization.centerX, 2) + ", " +
        fixedText(normalization.centerY, 2) + ", " + fixedText(normalization.centerZ, 2) +
        "), radius=" + fixedText(normalization.radius, 2));

    detail::ClusterPartitionResult partition =
        detail::clusterPartition(images, filtered, centres, width, height, options.iterationFloor,
                                 options.gaussianBudget, 0, budget, views, log, progress);

    auto normalX = [&](double x) { return (x - normalization.centerX) / normalization.radius; };
    auto normalZ = [&](double z) { return (z - normalization.centerZ) / normalization.radius; };
    auto normalBounds = [&](const CellBounds& bounds) {
        return CellBounds{normalX(bounds.minX), normalX(bounds.maxX), normalZ(bounds.minZ), normalZ(bounds.maxZ)};
    };
    for (auto& cell : partition.cells) {
        cell.coreBounds = normalBounds(cell.coreBounds);
        cell.expandedBounds = normalBounds(cell.expandedBounds);
    }
    std::vector<Point2D> centroids;
    for (const auto& centroid : partition.centroids) centroids.push_back({normalX(centroid.x), normalZ(centroid.z)});

    // A budget far from used: say so when twice the resolution would still fit.
    if (log && downscaleFactor >= 2) {
        double largestEstimate = 0;
        for (const auto& cell : partition.cells) largestEstimate = std::max(largestEstimate, cell.estimatedMemoryGB);
        double utilization = largestEstimate / budget;
        MemoryModel doubled(2 * width, 2 * height);
        double largestDoubled = 0;
        bool doubledFits = true;
        for (const auto& cell : partition.cells) {
            double memory = doubled.memGB(cell.imageCount, cell.recommendedCapMax);
            largestDoubled = std::max(largestDoubled, memory);
            if (!(memory <= budget)) doubledFits = false;
        }
        if (utilization < 0.55 && doubledFits) {
            say("\nBudget utilization " + text(int64_t(std::round(utilization * 100))) +
                "% — leftover RAM could support " + text(downscaleFactor / 2) + "× downscale");
            say("(est. " + fixedText(largestDoubled, 2) + "/" + fixedText(budget, 2) +
                " GB). Consider lowering the downscale factor for more detail.");
        }
    }

    PartitionPlan plan;
    plan.cells = std::move(partition.cells);
    plan.totalImages = int64_t(images.size());
    plan.totalPoints = int64_t(filtered.size());
    plan.physicalRAMGB = ramGB;
    plan.budgetGB = budget;
    plan.downscaleFactor = downscaleFactor;
    plan.imageWidth = width;
    plan.imageHeight = height;
    plan.sceneBounds = normalBounds(hybrid);
    plan.normalization = normalization;
    plan.clusterSeed = 0;
    plan.clusterCentroids = std::move(centroids);
    plan.schemaVersion = 1;
    plan.viewsPerFrame = views;
    return plan;
}

}  // namespace tessaron::partition
