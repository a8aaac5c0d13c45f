#include "viewer/SplatCameraController.hpp"

#include <algorithm>
#include <cmath>

namespace tessaron::viewer {

namespace {

// The transpose of a rotation by `pitch` about X after one by `yaw` about
// Y: row 0 is the camera's right axis in the world, row 2 its backward one.
Matrix4 rotation(float yaw, float pitch) {
    const float cosYaw = std::cos(yaw), sinYaw = std::sin(yaw);
    const float cosPitch = std::cos(pitch), sinPitch = std::sin(pitch);
    Matrix4 matrix = Matrix4::identity();
    const float rows[3][3] = {{cosYaw, sinYaw * sinPitch, -sinYaw * cosPitch},
                              {0, cosPitch, sinPitch},
                              {sinYaw, -cosYaw * sinPitch, cosYaw * cosPitch}};
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 3; ++column) matrix(column, row) = rows[row][column];
    return matrix;
}

Matrix4 translation(const Vector3f& offset) {
    Matrix4 matrix = Matrix4::identity();
    for (int row = 0; row < 3; ++row) matrix(3, row) = offset[std::size_t(row)];
    return matrix;
}

}  // namespace

Vector3f SplatCameraController::heldDirection() const {
    if (mode != Mode::freeFly) return {0, 0, 0};
    Vector3f forward{-std::sin(yaw), 0, -std::cos(yaw)};
    const float forwardLength = std::hypot(forward[0], forward[2]);
    for (float& component : forward) component /= forwardLength;
    const Vector3f right{std::cos(yaw), 0, -std::sin(yaw)};

    Vector3f move{0, 0, 0};
    auto add = [&move](const Vector3f& direction, float sign) {
        for (std::size_t i = 0; i < 3; ++i) move[i] += sign * direction[i];
    };
    if (keysHeld.contains(keyW)) add(forward, 1);
    if (keysHeld.contains(keyS)) add(forward, -1);
    if (keysHeld.contains(keyD)) add(right, 1);
    if (keysHeld.contains(keyA)) add(right, -1);
    if (keysHeld.contains(keyE)) add({0, 1, 0}, 1);
    if (keysHeld.contains(keyQ)) add({0, 1, 0}, -1);
    return move;
}

namespace {
float lengthOf(const Vector3f& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }
}  // namespace

bool SplatCameraController::isFlying() const { return lengthOf(heldDirection()) > 0.001f; }

void SplatCameraController::update(float deltaTime) {
    const Vector3f move = heldDirection();
    // Opposite keys cancel out rather than jitter.
    const float length = lengthOf(move);
    if (length <= 0.001f) return;
    for (std::size_t i = 0; i < 3; ++i) position[i] += move[i] / length * moveSpeed * deltaTime;
}

void SplatCameraController::rotate(double dx, double dy) {
    const float yawDelta = float(dx) * 0.003f;
    const float pitchDelta = float(dy) * 0.003f;
    float& activeYaw = mode == Mode::orbit ? orbitYaw : yaw;
    float& activePitch = mode == Mode::orbit ? orbitPitch : pitch;
    activeYaw -= yawDelta;
    activePitch = std::clamp(activePitch - pitchDelta, -pitchLimit, pitchLimit);
}

void SplatCameraController::pan(double dx, double dy) {
    if (mode != Mode::orbit) return;
    const float scale = orbitDistance * 0.005f;
    orbitCenter[0] += -std::cos(orbitYaw) * float(dx) * scale;
    orbitCenter[1] += float(dy) * scale;
    orbitCenter[2] += std::sin(orbitYaw) * float(dx) * scale;
}

void SplatCameraController::scroll(double dy) {
    if (mode == Mode::freeFly)
        moveSpeed = std::clamp(moveSpeed * (dy > 0 ? 1.1f : 0.9f), 0.1f, 100.0f);
    else
        orbitDistance = std::clamp(orbitDistance * (dy > 0 ? 0.9f : 1.1f), 0.1f, 200.0f);
}

void SplatCameraController::fit(const Vector3f& center, float radius) {
    orbitCenter = center;
    orbitDistance = 2.5f * radius;
    orbitYaw = 0;
    orbitPitch = -0.3f;
    position = {center[0], center[1], center[2] + 2.5f * radius};
    yaw = 0;
    pitch = 0;
    moveSpeed = 0.5f * radius;
}

Matrix4 SplatCameraController::viewMatrix() const {
    if (mode == Mode::freeFly) return rotation(yaw, pitch) * translation({-position[0], -position[1], -position[2]});
    return translation({0, 0, -orbitDistance}) * rotation(orbitYaw, orbitPitch) *
           translation({-orbitCenter[0], -orbitCenter[1], -orbitCenter[2]});
}

Matrix4 SplatCameraController::projectionMatrix(float fovy, float aspect, float nearDistance, float farDistance) {
    const float focal = 1.0f / std::tan(fovy * 0.5f);
    Matrix4 projection;
    projection(0, 0) = focal / aspect;
    projection(1, 1) = focal;
    projection(2, 2) = -(farDistance + nearDistance) / (farDistance - nearDistance);
    projection(2, 3) = -1;
    projection(3, 2) = -2 * farDistance * nearDistance / (farDistance - nearDistance);
    return projection;
}

}  // namespace tessaron::viewer
