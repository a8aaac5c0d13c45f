#include "views/SfMLiveScene.hpp"

#include <algorithm>

namespace tessaron::views {

SfMLiveScene::SfMLiveScene() {
    // Looks along +Y, +X to the right.
    camera_.setOrientation({0, 1, 0}, {0, 0, 1});
    camera_.moveTo({0, 0, 0}, 100, {0, 1, 0}, 0, 0);
}

bool SfMLiveScene::update(const viewmodel::SfMLiveSnapshot& snapshot, double now) {
    if (loadedURL_ && *loadedURL_ == snapshot.url) return false;
    loadedURL_ = snapshot.url;

    const std::size_t count = std::min(snapshot.ids.size(), snapshot.positions.size());
    while (count / samplingStride_ > maximumDrawnPoints) samplingStride_ *= 2;

    std::vector<Vector3> kept, fresh;
    std::unordered_set<std::uint64_t> keptIDs;
    for (std::size_t index = 0; index < count; ++index) {
        const std::uint64_t id = snapshot.ids[index];
        // Chosen by id, not by place in the list, so that the same points
        // stay kept from one snapshot to the next.
        if (id % samplingStride_ != 0) continue;
        const auto& p = snapshot.positions[index];
        const Vector3 position{double(p[0]), double(p[1]), double(p[2])};
        kept.push_back(position);
        keptIDs.insert(id);
        if (!seenIDs_.contains(id)) fresh.push_back(position);
    }
    seenIDs_ = std::move(keptIDs);
    if (kept.empty()) return true;

    base_ = std::make_shared<const PointSet>(PointSet{kept, liveBaseColor});
    std::erase_if(flashes_, [&](const Flash& flash) { return now >= flash.start + flashDuration; });
    if (!fresh.empty())
        flashes_.push_back({std::make_shared<const PointSet>(PointSet{std::move(fresh), liveNewPointColor}), now});
    frameCamera(kept, now);
    return true;
}

void SfMLiveScene::frameCamera(const std::vector<Vector3>& positions, double now) {
    const std::size_t stride = positions.size() < framingSampleTarget ? 1 : positions.size() / framingSampleTarget;
    std::vector<double> xs, ys, zs;
    for (std::size_t index = 0; index < positions.size(); index += stride) {
        xs.push_back(positions[index].x);
        ys.push_back(positions[index].y);
        zs.push_back(positions[index].z);
    }
    if (xs.empty()) return;
    std::sort(xs.begin(), xs.end());
    std::sort(ys.begin(), ys.end());
    std::sort(zs.begin(), zs.end());
    const std::size_t count = xs.size();
    const std::size_t low = std::size_t(double(count) * 0.02);
    const std::size_t high = std::min(std::size_t(double(count) * 0.98), count - 1);
    const double extent = std::max({xs[high] - xs[low], zs[high] - zs[low], 0.5});
    const double cx = (xs[low] + xs[high]) / 2, cz = (zs[low] + zs[high]) / 2;
    // The first framing places the camera at once: a glide from the origin
    // would start inside the cloud and show nothing.
    camera_.moveTo({cx, ys[low] - 1.5 * extent, cz}, 20 * extent + 100, {cx, (ys[low] + ys[high]) / 2, cz}, now,
                   framed_ ? cameraGlideDuration : 0);
    framed_ = true;
}

PointSceneFrame SfMLiveScene::frameAt(double now) const {
    PointSceneFrame frame;
    frame.camera = camera_.poseAt(now);
    if (base_) frame.points.push_back({base_, splatrenderer::Matrix4::identity(), 1.0, false});
    for (const auto& flash : flashes_) {
        if (now >= flash.start + flashDuration) continue;
        const double opacity = 1 - easing::easeOut((now - flash.start) / flashDuration);
        frame.points.push_back({flash.points, splatrenderer::Matrix4::identity(), opacity, true});
    }
    return frame;
}

bool SfMLiveScene::isAnimating(double now) const {
    if (camera_.isMoving(now)) return true;
    return std::any_of(flashes_.begin(), flashes_.end(),
                       [&](const Flash& flash) { return now < flash.start + flashDuration; });
}

}  // namespace tessaron::views
