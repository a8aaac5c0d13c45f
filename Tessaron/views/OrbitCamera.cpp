#include "views/OrbitCamera.hpp"

namespace tessaron::views {

namespace {

// Rodrigues' rotation of `vector` about the unit `axis`.
Vector3 rotated(const Vector3& vector, const Vector3& axis, double radians) {
    const double cosine = std::cos(radians), sine = std::sin(radians);
    return vector * cosine + axis.cross(vector) * sine + axis * (axis.dot(vector) * (1 - cosine));
}

}  // namespace

void OrbitCamera::setOrientation(const Vector3& forward, const Vector3& up) {
    pose_.forward = forward.normalized();
    pose_.up = up.normalized();
}

void OrbitCamera::moveTo(const Vector3& position, double zFar, const Vector3& target, double now, double duration) {
    const CameraPose current = poseAt(now);
    target_ = target;
    if (duration > 0)
        glide_ = Glide{current.position, current.zFar, now, duration};
    else
        glide_.reset();
    pose_.position = position;
    pose_.zFar = zFar;
}

void OrbitCamera::settle(double now) {
    pose_ = poseAt(now);
    glide_.reset();
}

void OrbitCamera::orbit(double horizontalPixels, double verticalPixels, double now) {
    settle(now);
    const Vector3 vertical{0, 1, 0};
    auto turn = [&](const Vector3& axis, double radians) {
        pose_.position = target_ + rotated(pose_.position - target_, axis, radians);
        pose_.forward = rotated(pose_.forward, axis, radians).normalized();
        pose_.up = rotated(pose_.up, axis, radians).normalized();
    };
    turn(vertical, -horizontalPixels * radiansPerPixel);
    const Vector3 right = pose_.forward.cross(pose_.up).normalized();
    turn(right, -verticalPixels * radiansPerPixel);
}

void OrbitCamera::zoom(double steps, double now) {
    settle(now);
    const double kept = std::pow(wheelStepFactor, steps);
    pose_.position = target_ + (pose_.position - target_) * kept;
}

CameraPose OrbitCamera::poseAt(double now) const {
    CameraPose pose = pose_;
    if (glide_ && now < glide_->start + glide_->duration) {
        const double progress = easing::easeInEaseOut((now - glide_->start) / glide_->duration);
        pose.position = glide_->from + (pose_.position - glide_->from) * progress;
        pose.zFar = glide_->fromFar + (pose_.zFar - glide_->fromFar) * progress;
    }
    return pose;
}

}  // namespace tessaron::views
