#include "views/PartitionScene.hpp"

#include <charconv>
#include <cmath>
#include <limits>

namespace tessaron::views {

namespace {

// Fixed-point text independent of the process's locale.
std::string fixed(double value, int digits) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, digits);
    return std::string(text, result.ptr);
}

// A sequence that scales up to `peak` and back to 1.
double bump(double elapsed, double peak, double rise, double fall) {
    if (elapsed < 0) return 1.0;
    if (elapsed < rise) return 1 + (peak - 1) * easing::easeOut(elapsed / rise);
    if (elapsed < rise + fall) return peak + (1 - peak) * easing::easeInEaseOut((elapsed - rise) / fall);
    return 1.0;
}

constexpr double cellFlashPeak = 1.04, cellFlashRise = 0.12, cellFlashFall = 0.5;
constexpr double contentBumpPeak = 1.01, contentBumpRise = 0.15, contentBumpFall = 0.25;

}  // namespace

const std::array<RGBColor, 12>& PartitionScene::cellPalette() {
    // red, green, blue, orange, purple, teal, indigo, pink, yellow, brown, cyan, mint
    static const std::array<RGBColor, 12> palette = {{
        {1.0, 0.231, 0.188},
        {0.204, 0.780, 0.349},
        {0.0, 0.478, 1.0},
        {1.0, 0.584, 0.0},
        {0.686, 0.322, 0.871},
        {0.188, 0.690, 0.780},
        {0.345, 0.337, 0.839},
        {1.0, 0.176, 0.333},
        {1.0, 0.800, 0.0},
        {0.635, 0.518, 0.369},
        {0.196, 0.678, 0.902},
        {0.0, 0.780, 0.745},
    }};
    return palette;
}

PartitionScene::PartitionScene(LabelAspect labelAspect) : labelAspect_(std::move(labelAspect)) {}

void PartitionScene::setInitialInputs(const Inputs& inputs) { desired_ = inputs; }

bool PartitionScene::installCloud(ParsedCloudPointer cloud, double now) {
    if (installed_ || !cloud) return false;
    installed_ = true;
    cloud_ = std::move(cloud);
    // Straight down at the cloud from its up side, +X to the right.
    if (cloud_->upSign > 0)
        camera_.setOrientation({0, -1, 0}, {0, 0, -1});
    else
        camera_.setOrientation({0, 1, 0}, {0, 0, 1});
    fitCamera(false, now);
    const SceneFrame frame = sceneFrame();
    contentCentre_ = {frame.cx, 0, frame.cz};
    applyDesiredState(now);
    return true;
}

void PartitionScene::update(const Inputs& inputs, double now) {
    const bool hadPlan = desired_.plan != nullptr;
    desired_ = inputs;
    applyDesiredState(now);
    if (!hadPlan && desired_.plan) {
        fitCamera(true, now);
        if (installed_ && !hasSpunForPlan_) {
            hasSpunForPlan_ = true;
            spinStart_ = now;
        }
    } else if (!desired_.plan) {
        hasSpunForPlan_ = false;
    }
}

PartitionScene::SceneFrame PartitionScene::sceneFrame() const {
    double minX = -1, maxX = 1, minZ = -1, maxZ = 1;
    if (desired_.plan) {
        const auto& plan = *desired_.plan;
        const auto& n = plan.normalization;
        minX = n.centerX + plan.sceneBounds.minX * n.radius;
        maxX = n.centerX + plan.sceneBounds.maxX * n.radius;
        minZ = n.centerZ + plan.sceneBounds.minZ * n.radius;
        maxZ = n.centerZ + plan.sceneBounds.maxZ * n.radius;
    } else if (cloud_) {
        minX = cloud_->bounds.minX, maxX = cloud_->bounds.maxX;
        minZ = cloud_->bounds.minZ, maxZ = cloud_->bounds.maxZ;
    }
    return {(minX + maxX) / 2, (minZ + maxZ) / 2, std::max({maxX - minX, maxZ - minZ, 0.5})};
}

void PartitionScene::fitCamera(bool animated, double now) {
    if (!installed_) return;
    const SceneFrame frame = sceneFrame();
    const double height = 1.5 * frame.size;
    double y = height;
    if (cloud_) y = cloud_->upSign > 0 ? cloud_->yHigh + height : cloud_->yLow - height;
    const double middle = cloud_ ? (cloud_->yLow + cloud_->yHigh) / 2 : 0;
    camera_.moveTo({frame.cx, y, frame.cz}, 20 * frame.size + 100, {frame.cx, middle, frame.cz}, now,
                   animated ? cameraGlideDuration : 0);
}

std::vector<PartitionScene::Centroid> PartitionScene::planCentroids(const partition::PartitionPlan& plan) {
    const auto& n = plan.normalization;
    std::vector<Centroid> centroids;
    if (plan.clusterCentroids && !plan.clusterCentroids->empty()) {
        for (const auto& c : *plan.clusterCentroids)
            centroids.push_back({n.centerX + c.x * n.radius, n.centerZ + c.z * n.radius});
        return centroids;
    }
    for (const auto& cell : plan.cells) {
        const auto& b = cell.expandedBounds;
        centroids.push_back({n.centerX + (b.minX + b.maxX) / 2 * n.radius, n.centerZ + (b.minZ + b.maxZ) / 2 * n.radius});
    }
    return centroids;
}

std::string PartitionScene::signature(bool hasPlan, const std::vector<Centroid>& centroids) {
    std::string text = hasPlan ? "plan|" : "live|";
    for (std::size_t index = 0; index < centroids.size(); ++index) {
        if (index > 0) text += ";";
        text += fixed(centroids[index].x, 4) + "," + fixed(centroids[index].z, 4);
    }
    return text;
}

void PartitionScene::applyDesiredState(double now) {
    if (!installed_ || !cloud_ || cloud_->positions.empty()) return;
    std::vector<Centroid> centroids;
    if (desired_.plan)
        centroids = planCentroids(*desired_.plan);
    else if (desired_.progressCentroids)
        centroids = *desired_.progressCentroids;

    std::string newSignature = signature(desired_.plan != nullptr, centroids);
    if (newSignature != lastSignature_) {
        lastSignature_ = std::move(newSignature);
        rebuildCellPoints(centroids);
        if (!lastCentroids_.empty() && lastCentroids_.size() < centroids.size()) {
            for (std::size_t index = 0; index < centroids.size(); ++index) {
                const bool known = std::any_of(lastCentroids_.begin(), lastCentroids_.end(), [&](const Centroid& old) {
                    return std::abs(old.x - centroids[index].x) <= 1e-6 && std::abs(old.z - centroids[index].z) <= 1e-6;
                });
                if (!known && index < cellNodes_.size()) cellNodes_[index].flashStart = now;
            }
            contentBumpStart_ = now;
        }
        lastCentroids_ = centroids;
        rebuildLabels(centroids);
    }
    applyHighlight(now);
}

std::vector<std::vector<Vector3>> PartitionScene::assignPoints(const ParsedCloud& cloud,
                                                               const std::vector<Centroid>& centroids) {
    std::vector<std::vector<Vector3>> buckets(centroids.size());
    if (centroids.empty()) return buckets;
    const std::size_t count = std::min(cloud.positions.size(), cloud.pointsXZ.size());
    for (std::size_t point = 0; point < count; ++point) {
        const auto& ground = cloud.pointsXZ[point];
        double best = std::numeric_limits<double>::max();
        std::size_t bestIndex = 0;
        for (std::size_t index = 0; index < centroids.size(); ++index) {
            const double dx = ground.x - centroids[index].x, dz = ground.z - centroids[index].z;
            const double distance = dx * dx + dz * dz;
            if (distance < best) {
                best = distance;
                bestIndex = index;
            }
        }
        buckets[bestIndex].push_back(cloud.positions[point]);
    }
    return buckets;
}

void PartitionScene::rebuildCellPoints(const std::vector<Centroid>& centroids) {
    if (!installed_ || !cloud_) return;
    ++rebuildCount_;
    cellNodes_.clear();
    unassigned_.reset();
    if (centroids.empty()) {
        unassigned_ = std::make_shared<const PointSet>(PointSet{cloud_->positions, unassignedColor});
        return;
    }
    auto buckets = assignPoints(*cloud_, centroids);
    const double middle = (cloud_->yLow + cloud_->yHigh) / 2;
    const auto& palette = cellPalette();
    for (std::size_t index = 0; index < centroids.size(); ++index) {
        CellNode node;
        node.name = "cell_" + std::to_string(index);
        if (!buckets[index].empty())
            node.points = std::make_shared<const PointSet>(PointSet{std::move(buckets[index]), palette[index % 12]});
        node.position = {centroids[index].x, middle, centroids[index].z};
        cellNodes_.push_back(std::move(node));
    }
}

std::vector<std::string> PartitionScene::labelLines(const partition::PartitionCell& cell) {
    return {"cap " + std::to_string(cell.recommendedCapMax / 1000) + "K",
            std::to_string(cell.recommendedIterations / 1000) + "K it · " + fixed(cell.estimatedMemoryGB, 1) + " GB"};
}

void PartitionScene::rebuildLabels(const std::vector<Centroid>& centroids) {
    labelNodes_.clear();
    if (!desired_.plan || centroids.empty()) return;
    const double size = sceneFrame().size;
    const double lift = 0.06 * size;
    double y = lift;
    if (cloud_) y = cloud_->upSign > 0 ? cloud_->yHigh + lift : cloud_->yLow - lift;
    const auto& cells = desired_.plan->cells;
    for (std::size_t index = 0; index < cells.size() && index < centroids.size(); ++index) {
        LabelNode label;
        label.lines = labelLines(cells[index]);
        label.color = cellPalette()[index % 12];
        label.aspect = labelAspect_ ? labelAspect_(label.lines) : 1.0;
        label.height = std::min(0.38 * size / label.aspect, lift);
        label.position = {centroids[index].x, y, centroids[index].z};
        labelNodes_.push_back(std::move(label));
    }
}

void PartitionScene::applyHighlight(double now) {
    const auto highlight = desired_.highlightedCellIndex;
    for (std::size_t index = 0; index < cellNodes_.size(); ++index) {
        auto& node = cellNodes_[index];
        if (!highlight) {
            node.pulseStart.reset();
            node.opacity = 1.0;
        } else if (std::size_t(*highlight) != index || *highlight < 0) {
            node.pulseStart.reset();
            node.opacity = dimmedOpacity;
        } else if (!node.pulseStart) {
            // A pulse that already runs goes on undisturbed.
            node.opacity = 1.0;
            node.pulseStart = now;
        }
    }
    for (std::size_t index = 0; index < labelNodes_.size(); ++index)
        labelNodes_[index].opacity =
            !highlight || (*highlight >= 0 && std::size_t(*highlight) == index) ? 1.0 : dimmedOpacity;
}

std::optional<int> PartitionScene::trainingHighlight(const partition::PartitionPlan* plan,
                                                     std::optional<int> ordinal) {
    if (!plan || !ordinal || *ordinal < 0 || plan->cells.size() < 2) return std::nullopt;
    const int64_t minimum = plan->minimumTrainableImages();
    int seen = 0;
    for (std::size_t index = 0; index < plan->cells.size(); ++index) {
        if (plan->cells[index].imageCount < minimum) continue;
        if (seen == *ordinal) return int(index);
        ++seen;
    }
    return std::nullopt;
}

double PartitionScene::cellOpacityAt(std::size_t index, double now) const {
    const auto& node = cellNodes_.at(index);
    if (!node.pulseStart) return node.opacity;
    const double phase = std::fmod(std::max(0.0, now - *node.pulseStart), 2 * pulseHalfPeriod);
    if (phase < pulseHalfPeriod)
        return 1.0 + (pulseLowOpacity - 1.0) * easing::easeInEaseOut(phase / pulseHalfPeriod);
    return pulseLowOpacity + (1.0 - pulseLowOpacity) * easing::easeInEaseOut((phase - pulseHalfPeriod) / pulseHalfPeriod);
}

double PartitionScene::cellScaleAt(std::size_t index, double now) const {
    const auto& node = cellNodes_.at(index);
    return node.flashStart ? bump(now - *node.flashStart, cellFlashPeak, cellFlashRise, cellFlashFall) : 1.0;
}

double PartitionScene::contentScaleAt(double now) const {
    return contentBumpStart_ ? bump(now - *contentBumpStart_, contentBumpPeak, contentBumpRise, contentBumpFall)
                             : 1.0;
}

double PartitionScene::contentTurnAt(double now) const {
    if (!spinStart_ || now >= *spinStart_ + spinDuration) return 0;
    return 2 * M_PI * easing::easeInEaseOut((now - *spinStart_) / spinDuration);
}

splatrenderer::Matrix4 PartitionScene::contentMatrixAt(double now) const {
    using namespace transforms;
    return translation(contentCentre_) * rotationY(contentTurnAt(now)) * scaling(contentScaleAt(now)) *
           translation(contentCentre_ * -1);
}

PointSceneFrame PartitionScene::frameAt(double now) const {
    PointSceneFrame frame;
    frame.camera = camera_.poseAt(now);
    if (!installed_) return frame;
    const auto content = contentMatrixAt(now);
    if (unassigned_) frame.points.push_back({unassigned_, content, 1.0, false});
    for (std::size_t index = 0; index < cellNodes_.size(); ++index) {
        const auto& node = cellNodes_[index];
        if (!node.points) continue;
        const auto model = content * transforms::scalingAbout(node.position, cellScaleAt(index, now));
        const double opacity = cellOpacityAt(index, now);
        frame.points.push_back({node.points, model, opacity, false});
        if (node.flashStart && now - *node.flashStart < flashOverlayDuration) {
            const double fade = 1 - easing::linear((now - *node.flashStart) / flashOverlayDuration);
            frame.points.push_back({node.points, model, opacity * flashOverlayOpacity * fade, true});
        }
    }
    for (const auto& label : labelNodes_)
        frame.labels.push_back({label.lines, label.color, transforms::apply(content, label.position), label.height,
                                label.aspect, label.opacity});
    return frame;
}

bool PartitionScene::isAnimating(double now) const {
    if (camera_.isMoving(now)) return true;
    if (spinStart_ && now < *spinStart_ + spinDuration) return true;
    if (contentBumpStart_ && now < *contentBumpStart_ + contentBumpRise + contentBumpFall) return true;
    for (const auto& node : cellNodes_) {
        if (node.pulseStart) return true;
        if (node.flashStart && now < *node.flashStart + std::max(cellFlashRise + cellFlashFall, flashOverlayDuration))
            return true;
    }
    return false;
}

}  // namespace tessaron::views
