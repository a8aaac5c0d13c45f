#include <gtest/gtest.h>

#include <cmath>

#include "viewer/SplatCameraController.hpp"

using tessaron::viewer::Matrix4;
using tessaron::viewer::SplatCameraController;
using tessaron::viewer::Vector3f;
using Mode = SplatCameraController::Mode;

namespace {

// Where the camera puts a world point: (x, y, z) in camera space.
Vector3f toCamera(const Matrix4& view, const Vector3f& point) {
    Vector3f result{};
    for (int row = 0; row < 3; ++row)
        result[std::size_t(row)] = view(0, row) * point[0] + view(1, row) * point[1] + view(2, row) * point[2] + view(3, row);
    return result;
}

void expectNear(const Vector3f& actual, const Vector3f& expected, float tolerance = 1e-5f) {
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(actual[i], expected[i], tolerance) << "component " << i;
}

}  // namespace

struct MovementCase {
    const char* name;
    std::set<std::uint16_t> keys;
    float yaw;
    Vector3f expectedMove;  // after one second at speed 2
};

// One case, not a parameterised suite: each test of this folder starts an X server.
TEST(SplatCameraController, HeldKeysMoveTheFreeFlyCameraAtItsSpeedAlongTheHeading) {
    const float root2 = std::sqrt(2.0f);
    const MovementCase cases[] = {
        {"W forward", {SplatCameraController::keyW}, 0, {0, 0, -2}},
        {"W turned left", {SplatCameraController::keyW}, float(M_PI / 2), {-2, 0, 0}},
        {"S backward", {SplatCameraController::keyS}, 0, {0, 0, 2}},
        {"D right", {SplatCameraController::keyD}, 0, {2, 0, 0}},
        {"A on a half turn", {SplatCameraController::keyA}, float(M_PI), {2, 0, 0}},
        {"E up", {SplatCameraController::keyE}, 0.4f, {0, 2, 0}},
        {"Q down", {SplatCameraController::keyQ}, 0, {0, -2, 0}},
        {"W and S cancel", {SplatCameraController::keyW, SplatCameraController::keyS}, 0, {0, 0, 0}},
        {"diagonal is normalised", {SplatCameraController::keyW, SplatCameraController::keyD}, 0, {root2, 0, -root2}},
        {"other keys ignored", {3, 40, 1000}, 0, {0, 0, 0}},
    };
    for (const MovementCase& movement : cases) {
        SCOPED_TRACE(movement.name);
        SplatCameraController camera;
        camera.yaw = movement.yaw;
        camera.pitch = 0.7f;  // pitch never tilts the movement
        camera.keysHeld = movement.keys;
        camera.update(1.0f);
        const Vector3f& move = movement.expectedMove;
        expectNear(camera.position, {move[0], move[1], 3 + move[2]});

        // The same keys in orbit mode move nothing.
        camera.mode = Mode::orbit;
        camera.update(1.0f);
        expectNear(camera.position, {move[0], move[1], 3 + move[2]});
    }

    // The first frame's step of 1/60 s moves a sixtieth of the speed.
    SplatCameraController camera;
    camera.moveSpeed = 1.5f;
    camera.keysHeld = {SplatCameraController::keyW};
    camera.update(1.0f / 60.0f);
    EXPECT_FLOAT_EQ(camera.position[2], 3 - 1.5f / 60);
}

TEST(SplatCameraController, DragsTurnTheActiveModeAndPitchStopsShortOfVertical) {
    SplatCameraController camera;
    camera.rotate(100, -50);
    EXPECT_FLOAT_EQ(camera.yaw, -0.3f);
    EXPECT_FLOAT_EQ(camera.pitch, 0.15f);
    EXPECT_FLOAT_EQ(camera.orbitYaw, 0);

    for (int drag = 0; drag < 200; ++drag) camera.rotate(0, -1000);
    EXPECT_FLOAT_EQ(camera.pitch, SplatCameraController::pitchLimit);
    for (int drag = 0; drag < 200; ++drag) camera.rotate(0, 1000);
    EXPECT_FLOAT_EQ(camera.pitch, -SplatCameraController::pitchLimit);
    // At the limit the camera's up axis still leans to world +Y: no flip.
    EXPECT_GT(camera.viewMatrix()(1, 1), 0);

    camera.mode = Mode::orbit;
    camera.rotate(-100, 2000);
    EXPECT_FLOAT_EQ(camera.orbitYaw, 0.3f);
    EXPECT_FLOAT_EQ(camera.orbitPitch, -SplatCameraController::pitchLimit);
    EXPECT_FLOAT_EQ(camera.pitch, -SplatCameraController::pitchLimit);  // free-fly untouched
}

TEST(SplatCameraController, WheelClampsSpeedAndDistanceAndZeroCountsAsAwayFromTheScene) {
    SplatCameraController camera;
    camera.scroll(1);
    EXPECT_FLOAT_EQ(camera.moveSpeed, 2.2f);
    camera.scroll(0);
    EXPECT_FLOAT_EQ(camera.moveSpeed, 1.98f);
    for (int tick = 0; tick < 500; ++tick) camera.scroll(-3);
    EXPECT_FLOAT_EQ(camera.moveSpeed, 0.1f);
    for (int tick = 0; tick < 500; ++tick) camera.scroll(3);
    EXPECT_FLOAT_EQ(camera.moveSpeed, 100.0f);
    EXPECT_FLOAT_EQ(camera.orbitDistance, 3.0f);

    camera.mode = Mode::orbit;
    camera.scroll(0);
    EXPECT_FLOAT_EQ(camera.orbitDistance, 3.3f);
    camera.scroll(0.01);
    EXPECT_FLOAT_EQ(camera.orbitDistance, 2.97f);
    for (int tick = 0; tick < 500; ++tick) camera.scroll(1);
    EXPECT_FLOAT_EQ(camera.orbitDistance, 0.1f);
    for (int tick = 0; tick < 500; ++tick) camera.scroll(-1);
    EXPECT_FLOAT_EQ(camera.orbitDistance, 200.0f);
    EXPECT_FLOAT_EQ(camera.moveSpeed, 100.0f);
}

TEST(SplatCameraController, PanMovesTheOrbitCentreAcrossTheScreenOnly) {
    SplatCameraController camera;
    camera.pan(10, 10);
    expectNear(camera.orbitCenter, {0, 0, 0});  // free-fly: nothing

    camera.mode = Mode::orbit;
    camera.orbitDistance = 4;
    camera.orbitYaw = float(M_PI / 2);
    camera.pan(10, -5);
    // scale 0.02: against the right axis (0, 0, −1) and along world +Y.
    expectNear(camera.orbitCenter, {0, -0.1f, 0.2f});
}

TEST(SplatCameraController, FitFramesASphereInBothModesAndKeepsModeAndKeys) {
    SplatCameraController camera;
    camera.mode = Mode::orbit;
    camera.keysHeld = {SplatCameraController::keyW};
    camera.splatScale = 2;
    camera.yaw = 1;
    camera.pitch = 0.5f;
    camera.orbitYaw = 2;
    camera.orbitPitch = 0.4f;
    camera.fit({0, 0, 0}, 3);
    expectNear(camera.orbitCenter, {0, 0, 0});
    EXPECT_FLOAT_EQ(camera.orbitDistance, 7.5f);
    EXPECT_FLOAT_EQ(camera.orbitYaw, 0);
    EXPECT_FLOAT_EQ(camera.orbitPitch, -0.3f);
    expectNear(camera.position, {0, 0, 7.5f});
    EXPECT_FLOAT_EQ(camera.yaw, 0);
    EXPECT_FLOAT_EQ(camera.pitch, 0);
    EXPECT_FLOAT_EQ(camera.moveSpeed, 1.5f);
    EXPECT_EQ(camera.mode, Mode::orbit);
    EXPECT_EQ(camera.keysHeld, std::set<std::uint16_t>{SplatCameraController::keyW});
    EXPECT_FLOAT_EQ(camera.splatScale, 2);

    camera.fit({1, 2, 3}, 2);
    expectNear(camera.position, {1, 2, 8});
    expectNear(camera.orbitCenter, {1, 2, 3});
}

TEST(SplatCameraController, ViewMatricesPlaceTheCameraWhereItsFieldsSay) {
    SplatCameraController camera;
    camera.position = {1, 2, 3};
    camera.yaw = float(M_PI / 2);  // looking along world −X
    expectNear(toCamera(camera.viewMatrix(), {1, 2, 3}), {0, 0, 0});
    expectNear(toCamera(camera.viewMatrix(), {-4, 2, 3}), {0, 0, -5});
    expectNear(toCamera(camera.viewMatrix(), {1, 2, 2}), {1, 0, 0});  // world −Z is to the right

    camera.mode = Mode::orbit;
    camera.orbitCenter = {1, 0, 0};
    camera.orbitDistance = 5;
    camera.orbitPitch = -0.3f;
    // The centre lies straight ahead at the orbit distance, whatever the angles.
    expectNear(toCamera(camera.viewMatrix(), {1, 0, 0}), {0, 0, -5});
    camera.orbitYaw = 1.2f;
    expectNear(toCamera(camera.viewMatrix(), {1, 0, 0}), {0, 0, -5});
    // Pitch −0.3 puts the eye above the centre, looking down at it.
    camera.orbitYaw = 0;
    const Matrix4 eye = camera.viewMatrix().inverse();
    expectNear({eye(3, 0), eye(3, 1), eye(3, 2)}, {1, 5 * std::sin(0.3f), 5 * std::cos(0.3f)});
}

TEST(SplatCameraController, ProjectionIsTheClassicRightHandedFrustum) {
    const Matrix4 projection = SplatCameraController::projectionMatrix(float(M_PI / 3), 16.0f / 9, 0.01f, 1000);
    EXPECT_NEAR(projection(0, 0), 1.732051f / (16.0f / 9), 1e-5);
    EXPECT_NEAR(projection(1, 1), 1.732051f, 1e-5);
    EXPECT_NEAR(projection(2, 2), -1.00002f, 1e-6);
    EXPECT_FLOAT_EQ(projection(2, 3), -1);
    EXPECT_NEAR(projection(3, 2), -0.0200002f, 1e-7);
    EXPECT_FLOAT_EQ(projection(3, 3), 0);
    // Near maps to −1 and far to +1 after the division.
    auto depthAt = [&](float distance) { return (projection(2, 2) * -distance + projection(3, 2)) / distance; };
    EXPECT_NEAR(depthAt(0.01f), -1, 1e-4);
    EXPECT_NEAR(depthAt(1000), 1, 1e-4);
}
