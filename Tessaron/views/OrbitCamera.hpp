#pragma once

#include <optional>

#include "views/PointScene.hpp"

namespace tessaron::views {

// The camera of the 3D views: a pose the scene places (at once or gliding
// over a duration), which the user turns about a target point by dragging
// and moves towards it with the wheel. Times are seconds of one monotonic
// clock that the owner passes in. GUI thread only.
class OrbitCamera {
public:
    static constexpr double radiansPerPixel = 0.01;
    static constexpr double wheelStepFactor = 0.9;  // distance kept per wheel step inwards

    // Sets the orientation: looking along `forward` with `up` on screen upward.
    void setOrientation(const Vector3& forward, const Vector3& up);
    // Moves the camera to `position` with the far plane at `zFar`, turning
    // about `target` from then on; over `duration` seconds with the
    // ease-in-ease-out curve, or at once when `duration` is 0.
    void moveTo(const Vector3& position, double zFar, const Vector3& target, double now, double duration);

    // Turns the camera about the target: horizontal pixels about the
    // world's vertical axis, vertical pixels about the camera's right axis.
    void orbit(double horizontalPixels, double verticalPixels, double now);
    // Wheel steps (positive: towards the target).
    void zoom(double steps, double now);

    CameraPose poseAt(double now) const;
    bool isMoving(double now) const { return glide_ && now < glide_->start + glide_->duration; }
    const Vector3& target() const { return target_; }

private:
    struct Glide {
        Vector3 from;
        double fromFar = 0;
        double start = 0;
        double duration = 0;
    };
    // Ends a glide where it stands, so that user input starts from there.
    void settle(double now);

    CameraPose pose_;
    Vector3 target_;
    std::optional<Glide> glide_;
};

}  // namespace tessaron::views
