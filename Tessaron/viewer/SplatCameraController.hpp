#pragma once

#include <cstdint>
#include <set>

#include "SplatRenderer/Matrix4.hpp"

namespace tessaron::viewer {

using splatrenderer::Matrix4;
using splatrenderer::Vector3f;

// The viewer's camera: a free-fly camera moved by held keys and turned by
// drags, and an orbit camera around a centre. Each mode keeps its own
// fields, so switching back returns to that mode's last camera. Plain
// arithmetic on floats; the view layer edits `keysHeld` directly. Used on
// the GUI thread only.
class SplatCameraController {
public:
    enum class Mode { freeFly, orbit };

    // Movement keys by their position on the keyboard (the codes a
    // hardware keyboard reports for W, S, A, D, E, Q on a US layout).
    static constexpr std::uint16_t keyA = 0;
    static constexpr std::uint16_t keyS = 1;
    static constexpr std::uint16_t keyD = 2;
    static constexpr std::uint16_t keyQ = 12;
    static constexpr std::uint16_t keyW = 13;
    static constexpr std::uint16_t keyE = 14;

    // A pitch just short of straight up or down, so the view never flips.
    static constexpr float pitchLimit = 1.5607963f;

    Mode mode = Mode::freeFly;
    Vector3f position{0, 0, 3};
    float yaw = 0;    // radians
    float pitch = 0;  // radians
    float moveSpeed = 2.0f;  // units per second
    Vector3f orbitCenter{0, 0, 0};
    float orbitDistance = 3.0f;
    float orbitYaw = 0;
    float orbitPitch = -0.3f;
    std::set<std::uint16_t> keysHeld;
    float splatScale = 1.0f;

    // Free-fly only: moves `position` by the held keys for `deltaTime`
    // seconds, horizontally apart from E and Q.
    void update(float deltaTime);
    // Whether update() would move the camera: free-fly with held keys that
    // do not cancel out.
    bool isFlying() const;
    // Turns the active mode's camera by pointer deltas.
    void rotate(double dx, double dy);
    // Orbit only: moves the centre across the screen by pointer deltas.
    void pan(double dx, double dy);
    // Free-fly: faster or slower; orbit: nearer or farther.
    void scroll(double dy);
    // Frames a sphere in both modes; leaves the mode, keys and splat scale.
    void fit(const Vector3f& center, float radius);

    // World to camera, for the active mode.
    Matrix4 viewMatrix() const;
    // A right-handed perspective with clip depth from −w to w.
    static Matrix4 projectionMatrix(float fovy, float aspect, float nearDistance, float farDistance);

private:
    // The held keys' direction, unnormalised (zero in orbit mode).
    Vector3f heldDirection() const;
};

}  // namespace tessaron::viewer
