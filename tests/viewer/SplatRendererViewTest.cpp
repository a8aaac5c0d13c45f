#include <QApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QKeyEvent>
#include <QWheelEvent>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>

#include "ViewerTestScenes.hpp"
#include "support/EventLoopWait.hpp"
#include "support/TempDir.hpp"
#include "viewer/SplatRendererView.hpp"

using namespace tessaron::viewer;
using namespace tessaron::viewer::testing;

namespace {

constexpr int red = 0, green = 1;

// Runs the event loop until `condition` holds or `milliseconds` pass.
bool waitUntil(const std::function<bool()>& condition, int milliseconds = 20000) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > milliseconds) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QTest::qSleep(1);
    }
    return true;
}

// Where the classic −1…1 pinhole frustum of the viewer (60° vertical)
// puts a scene point seen by the camera the viewer sets after a load:
// at (0, 0, 7.5) in camera axes, i.e. 7.5 units behind the origin in the
// scene's forward axis, looking forward, scene y pointing down.
std::pair<double, double> pinholePixel(std::array<float, 3> scenePoint, int width, int height) {
    const Matrix4 projection = SplatCameraController::projectionMatrix(float(M_PI / 3), float(width) / float(height),
                                                                       0.01f, 1000);
    const float cameraX = scenePoint[0], cameraY = -scenePoint[1], cameraZ = -scenePoint[2] - 7.5f;
    const float clipX = projection(0, 0) * cameraX, clipY = projection(1, 1) * cameraY, clipW = -cameraZ;
    return {(clipX / clipW + 1) / 2 * width, (1 - clipY / clipW) / 2 * height};
}

}  // namespace

class SplatViewer : public ::testing::Test {
protected:
    void SetUp() override {
        view_.resize(320, 240);
        view_.setOnLoadError([this](const QString& message) { errors_.push_back(message); });
        view_.setOnStatsUpdate([this](const SplatViewerStats& stats) { stats_.push_back(stats); });
        view_.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&view_));
    }

    SplatSceneRenderer& scene() { return view_.sceneRenderer(); }

    // Opens `file` and waits until its scene is on screen.
    void open(const std::filesystem::path& file, std::int64_t expectedCount) {
        view_.setFileURL(file);
        ASSERT_TRUE(waitUntil([&] { return scene().runningLoadCount() == 0 && scene().currentSplatCount() == expectedCount; }))
            << "count " << scene().currentSplatCount();
    }

    // Waits until the view draws nothing more: its last frame showed the
    // depth order sorted from its own camera.
    bool waitForRest() {
        return waitUntil([&] {
            const auto frame = scene().lastFrame();
            return scene().isAtRest() && frame && frame->sortedForCamera;
        });
    }

    // The picture once the depth order has caught up with the camera.
    QImage settledFrame(const char* name = nullptr) {
        EXPECT_TRUE(waitForRest());
        const QImage image = view_.grabFramebuffer();
        if (const char* folder = std::getenv("TESSARON_SCREENSHOT_DIR"); folder && name)
            image.save(QString::fromStdString((std::filesystem::path(folder) / name).string()));
        return image;
    }

    tessaron::testing::TempDir folder_;
    SplatRendererView view_;
    std::vector<QString> errors_;
    std::vector<SplatViewerStats> stats_;
};

TEST_F(SplatViewer, APlyModelOpensWhereAPinholeCameraPutsIt) {
    // Red right of the centre, green above it (scene y points down).
    std::vector<SplatPoint> points = cluster(30000, {1.2f, 0, 0}, 0.08f, {255, 0, 0}, 1);
    const auto above = cluster(20000, {0, -1, 0.5f}, 0.08f, {0, 255, 0}, 2);
    points.insert(points.end(), above.begin(), above.end());
    writePLY(folder_ / "model.ply", points);

    open(folder_ / "model.ply", 50000);
    const QImage image = settledFrame("pinhole.png");
    const int width = image.width(), height = image.height();
    ASSERT_EQ(width, 320);

    const auto redCentre = pinholePixel({1.2f, 0, 0}, width, height);
    const auto greenCentre = pinholePixel({0, -1, 0.5f}, width, height);
    const ColourMass redMass = massOf(image, red), greenMass = massOf(image, green);
    ASSERT_GT(redMass.mass, 0);
    ASSERT_GT(greenMass.mass, 0);
    EXPECT_NEAR(redMass.x, redCentre.first, 1.0);
    EXPECT_NEAR(redMass.y, redCentre.second, 1.0);
    EXPECT_NEAR(greenMass.x, greenCentre.first, 1.0);
    EXPECT_NEAR(greenMass.y, greenCentre.second, 1.0);
    EXPECT_LT(greenMass.y, height / 2.0 - 20);
    // Background where nothing is.
    EXPECT_EQ(image.pixel(5, height - 5) & 0xffffff, 0u);

    // The camera looks at the origin from 7.5 units; statistics arrive.
    EXPECT_EQ(scene().camera.mode, SplatCameraController::Mode::freeFly);
    EXPECT_FLOAT_EQ(scene().camera.position[2], 7.5f);
    EXPECT_FLOAT_EQ(scene().camera.orbitDistance, 7.5f);
    ASSERT_FALSE(stats_.empty());
    EXPECT_EQ(stats_.back().gaussianCount, 50000);
    EXPECT_GT(stats_.back().drawTimeMs, 0);
    EXPECT_TRUE(errors_.empty());
}

TEST_F(SplatViewer, DragsTheWheelAndMovementKeysChangeThePicture) {
    writeDotSplat(folder_ / "red.splat", cluster(5000, {1.2f, 0, 0}, 0.08f, {255, 0, 0}, 3));
    open(folder_ / "red.splat", 5000);
    const double startX = massOf(settledFrame(), red).x;
    const double centreX = view_.width() / 2.0;

    // A drag to the right turns the free-fly camera right: the scene slides left.
    QTest::mousePress(&view_, Qt::LeftButton, {}, QPoint(100, 100));
    QTest::mouseMove(&view_, QPoint(150, 100));
    QTest::mouseRelease(&view_, Qt::LeftButton, {}, QPoint(150, 100));
    EXPECT_FLOAT_EQ(scene().camera.yaw, -0.15f);
    const double turnedX = massOf(settledFrame(), red).x;
    EXPECT_LT(turnedX, startX - 20);
    scene().camera.yaw = 0;

    // W held flies towards the scene, so the red cluster drifts outwards;
    // released, the camera stops.
    QTest::keyPress(&view_, Qt::Key_W);
    // A held key repeats as release-press pairs, which leave it held.
    QKeyEvent repeatedRelease(QEvent::KeyRelease, Qt::Key_W, Qt::NoModifier, QString(), true);
    QApplication::sendEvent(&view_, &repeatedRelease);
    EXPECT_TRUE(waitUntil([&] { return 7.5f - scene().camera.position[2] > 0.4f; }));
    EXPECT_TRUE(scene().camera.keysHeld.contains(SplatCameraController::keyW));
    QTest::keyRelease(&view_, Qt::Key_W);
    const float flown = 7.5f - scene().camera.position[2];
    EXPECT_GT(flown, 0.2f);
    EXPECT_TRUE(scene().camera.keysHeld.empty());
    const double nearerX = massOf(settledFrame(), red).x;
    EXPECT_GT(nearerX - centreX, (startX - centreX) * 1.02);
    EXPECT_FLOAT_EQ(7.5f - scene().camera.position[2], flown);

    // D steps right, so the scene slides left.
    QTest::keyPress(&view_, Qt::Key_D);
    EXPECT_TRUE(waitUntil([&] { return scene().camera.position[0] > 0.25f; }));
    QTest::keyRelease(&view_, Qt::Key_D);
    EXPECT_GT(scene().camera.position[0], 0.1f);
    EXPECT_LT(massOf(settledFrame(), red).x, nearerX - 5);

    // Focus lost with a key down: the key's release goes elsewhere, so the
    // camera lets go of it rather than flying on.
    view_.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&view_));
    ASSERT_TRUE(view_.hasFocus());  // taken when shown
    QTest::keyPress(&view_, Qt::Key_A);
    QWidget elsewhere;
    elsewhere.show();
    elsewhere.activateWindow();
    EXPECT_TRUE(waitUntil([&] { return scene().camera.keysHeld.empty(); }));

    // Orbit mode: the wheel moves the camera nearer, a middle drag pans.
    view_.setOrbitMode(true);
    const double orbitX = massOf(settledFrame(), red).x;
    QWheelEvent wheel(QPointF(160, 120), view_.mapToGlobal(QPointF(160, 120)), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&view_, &wheel);
    EXPECT_FLOAT_EQ(scene().camera.orbitDistance, 6.75f);
    const double zoomedX = massOf(settledFrame(), red).x;
    EXPECT_GT(zoomedX, orbitX + 3);
    QTest::mousePress(&view_, Qt::MiddleButton, {}, QPoint(100, 100));
    QTest::mouseMove(&view_, QPoint(130, 100));
    QTest::mouseRelease(&view_, Qt::MiddleButton, {}, QPoint(130, 100));
    EXPECT_LT(scene().camera.orbitCenter[0], -0.5f);
    EXPECT_GT(massOf(settledFrame("orbit-panned.png"), red).x, zoomedX + 15);
    EXPECT_FLOAT_EQ(scene().camera.position[2], 7.5f - flown);  // free-fly camera kept for later
}

// What the view has drawn and been asked to draw so far.
struct FrameCounts {
    std::int64_t requested = 0, drawn = 0;
    std::size_t stats = 0;
    bool operator==(const FrameCounts&) const = default;
};

class SplatViewerFrames : public SplatViewer {
protected:
    FrameCounts counts() const {
        auto& scene = const_cast<SplatRendererView&>(view_).sceneRenderer();
        return {scene.requestedFrameCount(), scene.drawnFrameCount(), stats_.size()};
    }

    // Nothing is asked or drawn while every timer that a display refresh
    // (or a dozen of them) would have started comes due.
    void expectNothingDrawnAfter(const FrameCounts& before, const char* when) {
        ASSERT_TRUE(tessaron::testing::deliverEventsDueWithin(std::chrono::milliseconds(250)));
        const FrameCounts after = counts();
        EXPECT_EQ(after.requested, before.requested) << when;
        EXPECT_EQ(after.drawn, before.drawn) << when;
        EXPECT_EQ(after.stats, before.stats) << when << ": the statistics keep their last figures";
    }
};

TEST_F(SplatViewerFrames, AStillCameraDrawsNothingAndAMoveDrawsUntilThePictureIsFinal) {
    writeDotSplat(folder_ / "red.splat", cluster(5000, {1.2f, 0, 0}, 0.3f, {255, 0, 0}, 11));
    open(folder_ / "red.splat", 5000);
    ASSERT_TRUE(waitForRest());
    const FrameCounts loaded = counts();
    EXPECT_GE(loaded.drawn, 1);
    EXPECT_LE(loaded.drawn, 6);  // the first frames, until the order caught up
    expectNothingDrawnAfter(loaded, "a still camera");

    // An orbit drag moves the camera: a frame at once, and one more when the
    // depth order for the new position is ready (unless the sorter was
    // quicker than the frame).
    view_.setOrbitMode(true);
    ASSERT_TRUE(waitForRest());
    const FrameCounts orbiting = counts();
    EXPECT_GT(orbiting.drawn, loaded.drawn);  // the other mode's camera is shown
    QTest::mousePress(&view_, Qt::LeftButton, {}, QPoint(100, 100));
    QTest::mouseMove(&view_, QPoint(140, 110));
    QTest::mouseRelease(&view_, Qt::LeftButton, {}, QPoint(140, 110));
    EXPECT_EQ(counts().requested, orbiting.requested + 1);
    ASSERT_TRUE(waitForRest());
    const FrameCounts moved = counts();
    EXPECT_GE(moved.drawn, orbiting.drawn + 1);
    EXPECT_LE(moved.drawn, orbiting.drawn + 5);
    EXPECT_EQ(moved.stats - orbiting.stats, std::size_t(moved.drawn - orbiting.drawn));
    expectNothingDrawnAfter(moved, "after the move");

    // The same setting again draws nothing; the wheel draws.
    view_.setOrbitMode(true);
    view_.setClearColor({0, 0, 0, 1});
    expectNothingDrawnAfter(moved, "settings that did not change");
    QWheelEvent wheel(QPointF(160, 120), view_.mapToGlobal(QPointF(160, 120)), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&view_, &wheel);
    ASSERT_TRUE(waitForRest());
    EXPECT_GT(counts().drawn, moved.drawn);
}

TEST_F(SplatViewerFrames, AHiddenViewDrawsNothingAndShowsItsNewSceneWhenShownAgain) {
    writeDotSplat(folder_ / "red.splat", cluster(5000, {0, 0, 0}, 0.3f, {255, 0, 0}, 12));
    writeDotSplat(folder_ / "green.splat", cluster(4000, {0, 0, 0}, 0.3f, {0, 255, 0}, 13));
    open(folder_ / "red.splat", 5000);
    ASSERT_TRUE(waitForRest());

    view_.hide();
    const FrameCounts hidden = counts();
    // A camera change, a setting and a whole new scene: none is drawn.
    scene().camera.rotate(40, 0);
    scene().requestFrame();
    view_.setOrbitMode(true);
    view_.setFileURL(folder_ / "green.splat");
    ASSERT_TRUE(waitUntil([&] { return scene().runningLoadCount() == 0 && scene().currentSplatCount() == 4000; }));
    expectNothingDrawnAfter(hidden, "while hidden");

    view_.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view_));
    ASSERT_TRUE(waitForRest());
    EXPECT_GT(counts().drawn, hidden.drawn);
    const QImage image = view_.grabFramebuffer();
    EXPECT_GT(massOf(image, green).mass, 0);
    EXPECT_EQ(massOf(image, red).mass, 0);
}

TEST_F(SplatViewerFrames, HeldKeysFlyAFrameAtATimeAndTheFirstStepAfterARestIsOneRefresh) {
    writeDotSplat(folder_ / "red.splat", cluster(3000, {1.2f, 0, 0}, 0.3f, {255, 0, 0}, 14));
    open(folder_ / "red.splat", 3000);
    ASSERT_TRUE(waitForRest());
    // Every reading of the clock is a tenth of a second after the last,
    // however long the test takes: a rest of any length would show.
    auto now = std::make_shared<SplatSceneRenderer::Clock::time_point>();
    scene().setClock([now] { return *now += std::chrono::milliseconds(100); });
    ASSERT_EQ(scene().camera.mode, SplatCameraController::Mode::freeFly);
    const float speed = scene().camera.moveSpeed;
    ASSERT_FLOAT_EQ(speed, 1.5f);

    auto fly = [&](Qt::Key key) {
        const FrameCounts before = counts();
        const float startZ = scene().camera.position[2];
        QTest::keyPress(&view_, key);
        // Held, the key draws frame after frame by itself.
        EXPECT_TRUE(waitUntil([&] { return counts().drawn >= before.drawn + 5; }));
        EXPECT_FALSE(scene().isAtRest());
        QTest::keyRelease(&view_, key);
        const std::int64_t flown = counts().drawn - before.drawn;
        EXPECT_TRUE(waitForRest());
        expectNothingDrawnAfter(counts(), "after the key's release");
        // The first frame steps 1/60 s, each later one the clock's 0.1 s.
        return std::pair{startZ - scene().camera.position[2], speed * (1.0f / 60 + 0.1f * float(flown - 1))};
    };
    const auto [forward, expectedForward] = fly(Qt::Key_W);
    EXPECT_NEAR(forward, expectedForward, 1e-4);
    // After an hour's rest, the next flight again starts with one
    // refresh's step.
    *now += std::chrono::hours(1);
    const auto [backward, expectedBackward] = fly(Qt::Key_S);
    EXPECT_NEAR(-backward, expectedBackward, 1e-4);
}

// Holds the render thread inside a frame until the test opens it.
struct FrameGate {
    std::mutex mutex;
    std::condition_variable changed;
    int arrived = 0, left = 0;
    bool open = false, gaveUp = false;

    static std::function<void()> hook(const std::shared_ptr<FrameGate>& gate) {
        return [gate] {
            std::unique_lock lock(gate->mutex);
            ++gate->arrived;
            gate->changed.notify_all();
            // A guard against a test that never opens the gate, not a
            // measure of anything.
            if (!gate->changed.wait_for(lock, std::chrono::minutes(2), [&] { return gate->open; })) gate->gaveUp = true;
            ++gate->left;
        };
    }
    int arrivals() {
        std::lock_guard lock(mutex);
        return arrived;
    }
    int departures() {
        std::lock_guard lock(mutex);
        return left;
    }
    void release() {
        {
            std::lock_guard lock(mutex);
            open = true;
        }
        changed.notify_all();
    }
};

TEST_F(SplatViewerFrames, WhileAFrameIsDrawnTheWindowAnswersAndItsInputMakesOneFrameAfterIt) {
    writeDotSplat(folder_ / "red.splat", cluster(5000, {1.2f, 0, 0}, 0.3f, {255, 0, 0}, 15));
    open(folder_ / "red.splat", 5000);
    view_.setOrbitMode(true);
    ASSERT_TRUE(waitForRest());
    auto gate = std::make_shared<FrameGate>();
    scene().setBeforeDrawing(FrameGate::hook(gate));
    const FrameCounts before = counts();

    // A drag starts a frame, which the render thread is held in.
    QTest::mousePress(&view_, Qt::LeftButton, {}, QPoint(100, 100));
    QTest::mouseMove(&view_, QPoint(120, 100));
    ASSERT_TRUE(waitUntil([&] { return gate->arrivals() == 1; }));
    EXPECT_TRUE(scene().isDrawing());

    // Meanwhile the window runs its timers and takes input: the camera
    // follows the pointer at once, and all of it waits for one frame.
    bool timerFired = false;
    QTimer::singleShot(0, &view_, [&] { timerFired = true; });
    EXPECT_TRUE(waitUntil([&] { return timerFired; }));
    const float yawDuringFrame = scene().camera.orbitYaw;
    for (int step = 1; step <= 5; ++step) QTest::mouseMove(&view_, QPoint(120 + 10 * step, 100));
    QTest::mouseRelease(&view_, Qt::LeftButton, {}, QPoint(170, 100));
    QWheelEvent wheel(QPointF(160, 120), view_.mapToGlobal(QPointF(160, 120)), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&view_, &wheel);
    EXPECT_NE(scene().camera.orbitYaw, yawDuringFrame);
    EXPECT_FLOAT_EQ(scene().camera.orbitDistance, 6.75f);
    ASSERT_TRUE(tessaron::testing::deliverEventsDueWithin(std::chrono::milliseconds(250)));
    EXPECT_EQ(counts().requested, before.requested + 2);
    EXPECT_EQ(counts().drawn, before.drawn + 1);
    EXPECT_EQ(counts().stats, before.stats);
    EXPECT_FALSE(scene().isAtRest());

    // Let go, the held frame is shown and one more follows from the newest
    // camera, then the depth order's frames until the picture is final.
    scene().setBeforeDrawing({});
    gate->release();
    ASSERT_TRUE(waitForRest());
    const FrameCounts after = counts();
    EXPECT_GE(after.drawn, before.drawn + 2);
    EXPECT_LE(after.drawn, before.drawn + 6);
    EXPECT_EQ(after.requested - before.requested, after.drawn - before.drawn);
    EXPECT_EQ(after.stats - before.stats, std::size_t(after.drawn - before.drawn));
    EXPECT_EQ(gate->arrivals(), 1);
    EXPECT_FALSE(gate->gaveUp);
    expectNothingDrawnAfter(after, "after the held frame");
}

TEST_F(SplatViewer, AViewClosedWhileAFrameIsDrawnDoesNotWaitForIt) {
    writeDotSplat(folder_ / "red.splat", cluster(3000, {0, 0, 0}, 0.3f, {255, 0, 0}, 16));
    auto view = std::make_unique<SplatRendererView>();
    view->resize(200, 150);
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    view->setFileURL(folder_ / "red.splat");
    auto& scene = view->sceneRenderer();
    ASSERT_TRUE(waitUntil([&] { return scene.currentSplatCount() == 3000 && scene.isAtRest(); }));

    auto gate = std::make_shared<FrameGate>();
    scene.setBeforeDrawing(FrameGate::hook(gate));
    scene.camera.rotate(30, 0);
    scene.requestFrame();
    ASSERT_TRUE(waitUntil([&] { return gate->arrivals() == 1; }));
    // Closing returns while the render thread is still inside the frame
    // (waiting for it would never end: only this thread opens the gate).
    view.reset();
    EXPECT_EQ(gate->departures(), 0);
    gate->release();
    // The retired thread finishes its frame and ends; nothing of it reaches
    // the closed view.
    ASSERT_TRUE(waitUntil([&] { return gate->departures() == 1; }));
    ASSERT_TRUE(tessaron::testing::deliverEventsDueWithin(std::chrono::milliseconds(100)));
    EXPECT_FALSE(gate->gaveUp);
}

TEST_F(SplatViewer, LoadAndDrawingFailuresReachTheLoadErrorCallback) {
    writeDotSplat(folder_ / "red.splat", cluster(2000, {0, 0, 0}, 0.2f, {255, 0, 0}, 4));
    open(folder_ / "red.splat", 2000);
    tessaron::testing::writeTextFile(folder_ / "scene.xyz", "1 2 3\n");
    view_.setFileURL(folder_ / "scene.xyz");
    ASSERT_TRUE(waitUntil([&] { return !errors_.empty(); }));
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_EQ(errors_[0].toStdString(), "Could not open scene.xyz: Cannot determine the splat format of " +
                                            (folder_ / "scene.xyz").string() + " (expected .ply, .splat or .spz)");
    EXPECT_EQ(scene().currentSplatCount(), 2000);
    EXPECT_GT(massOf(settledFrame(), red).mass, 0);

    // A file that ends mid-record fails with its reader's text.
    tessaron::testing::writeTextFile(folder_ / "short.splat", std::string(40, '\0'));
    view_.setFileURL(folder_ / "short.splat");
    ASSERT_TRUE(waitUntil([&] { return errors_.size() == 2; }));
    EXPECT_TRUE(errors_[1].startsWith("Could not open short.splat: ")) << errors_[1].toStdString();
    EXPECT_EQ(scene().currentSplatCount(), 2000);

    // A scene that loads but does not fit the device's buffers is not left
    // silently black: its first frame reports why, and later ones stay quiet.
    scene().setMaxBufferLength(4096);
    writeDotSplat(folder_ / "wide.splat", cluster(2000, {0, 0, 0}, 0.2f, {0, 255, 0}, 8));
    open(folder_ / "wide.splat", 2000);
    ASSERT_TRUE(waitUntil([&] { return errors_.size() == 3; }));
    ASSERT_TRUE(tessaron::testing::deliverEventsDueWithin(std::chrono::milliseconds(200)));  // any frame that follows
    ASSERT_EQ(errors_.size(), 3u);
    EXPECT_EQ(errors_[2].toStdString(),
              "Could not open wide.splat: The scene needs more than 12 buffers of 4096 bytes; it cannot be drawn");
}

// A step of the render thread outside the renderer's own drawing throws
// (here the tests' hook, which runs where the framebuffer is made and the
// frame read back): the view says why and draws on afterwards.
TEST_F(SplatViewer, AFrameThatFailsOutsideTheDrawingEndsInTheErrorMessage) {
    writeDotSplat(folder_ / "red.splat", cluster(2000, {0, 0, 0}, 0.2f, {255, 0, 0}, 4));
    open(folder_ / "red.splat", 2000);
    ASSERT_TRUE(waitForRest());
    scene().setBeforeDrawing([] { throw std::runtime_error("the frame could not be read back"); });
    scene().camera.rotate(30, 0);
    scene().requestFrame();
    ASSERT_TRUE(waitUntil([&] { return !errors_.empty(); }));
    EXPECT_EQ(errors_, std::vector<QString>{QStringLiteral("Could not open red.splat: the frame could not be read back")});

    scene().setBeforeDrawing({});
    scene().camera.rotate(30, 0);
    scene().requestFrame();
    ASSERT_TRUE(waitForRest());
    EXPECT_GT(massOf(view_.grabFramebuffer(), red).mass, 0);
}

TEST_F(SplatViewer, MovedToAnotherWindowTheViewShowsItsSceneAgain) {
    // A new top-level window means a new GL context: the scene is read again
    // into it rather than drawn with objects of the old one.
    writeDotSplat(folder_ / "green.splat", cluster(3000, {0, 0, 0}, 0.3f, {0, 255, 0}, 9));
    open(folder_ / "green.splat", 3000);
    QWidget window;
    window.resize(400, 300);
    view_.setParent(&window);
    view_.move(0, 0);
    window.show();
    view_.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    ASSERT_TRUE(waitUntil([&] { return scene().runningLoadCount() == 0 && scene().currentSplatCount() == 3000; }));
    EXPECT_GT(massOf(settledFrame("moved.png"), green).mass, 0);
    EXPECT_TRUE(errors_.empty());
    view_.setParent(nullptr);
}

TEST_F(SplatViewer, TwoQuickSwitchesShowOnlyTheSecondModel) {
    writeDotSplat(folder_ / "first.splat", cluster(400000, {0, 0, 0}, 0.5f, {255, 0, 0}, 5));
    writeDotSplat(folder_ / "second.splat", cluster(3000, {0, 0, 0}, 0.5f, {0, 255, 0}, 6));
    tessaron::testing::writeTextFile(folder_ / "broken.xyz", "");

    // The broken file is replaced before its failure comes back: silent.
    view_.setFileURL(folder_ / "broken.xyz");
    view_.setFileURL(folder_ / "first.splat");
    view_.setFileURL(folder_ / "second.splat");
    ASSERT_TRUE(waitUntil([&] { return scene().runningLoadCount() == 0 && scene().hasScene(); }));
    ASSERT_TRUE(tessaron::testing::deliverEventsDueWithin());  // the loads' outcomes and the reports they make
    EXPECT_EQ(scene().currentSplatCount(), 3000);
    const QImage image = settledFrame("second.png");
    EXPECT_GT(massOf(image, green).mass, 0);
    EXPECT_EQ(massOf(image, red).mass, 0);
    EXPECT_TRUE(errors_.empty());

    // A small first file is read long before a large second one, yet never
    // shown: only the newest request installs its scene.
    writeDotSplat(folder_ / "small.splat", cluster(500, {0, 0, 0}, 0.5f, {255, 0, 0}, 10));
    view_.setFileURL(folder_ / "small.splat");
    view_.setFileURL(folder_ / "first.splat");
    bool smallShown = false;
    ASSERT_TRUE(waitUntil([&] {
        smallShown = smallShown || scene().currentSplatCount() == 500;
        return scene().runningLoadCount() == 0 && scene().currentSplatCount() == 400000;
    }));
    EXPECT_FALSE(smallShown);

    // The same file again does not reload; another one does.
    const auto generation = scene().loadGeneration();
    view_.setFileURL(folder_ / "first.splat");
    EXPECT_EQ(scene().loadGeneration(), generation);
    view_.setFileURL(folder_ / "second.splat");
    EXPECT_EQ(scene().loadGeneration(), generation + 1);
}

TEST_F(SplatViewer, TwoMillionGaussiansLoadWithoutBlockingTheGUIThread) {
    QElapsedTimer writingClock;
    writingClock.start();
    writeDotSplat(folder_ / "large.splat", cluster(2'000'000, {0, 0, 0}, 2.0f, {220, 40, 20}, 7));
    const qint64 writing = writingClock.elapsed();

    // Ticks of the event loop: the longest gap in the GUI thread's own CPU
    // time is the longest piece of work it did at once. Wall time also
    // counts the turns other processes of a busy machine take; less the
    // scheduler's own account of the thread's time on and waiting for a
    // processor, what is left of a gap is time it slept, which rules out
    // long waits (a join or a lock held by a reader).
    QElapsedTimer clock;
    clock.start();
    qint64 lastTick = 0;
    double lastCPU = 0, longestCPUGap = 0, lastScheduled = 0, longestSleep = 0;
    // Milliseconds on a processor plus waiting in its queue.
    auto threadScheduledMilliseconds = [] {
        std::ifstream schedstat("/proc/thread-self/schedstat");
        double running = 0, waiting = 0;
        schedstat >> running >> waiting;
        return (running + waiting) / 1e6;
    };
    auto threadCPUMilliseconds = [] {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return double(now.tv_sec) * 1000 + double(now.tv_nsec) / 1e6;
    };
    QTimer ticker;
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        const double cpu = threadCPUMilliseconds();
        const double scheduled = threadScheduledMilliseconds();
        longestSleep = std::max(longestSleep, double(now - lastTick) - (scheduled - lastScheduled));
        longestCPUGap = std::max(longestCPUGap, cpu - lastCPU);
        lastTick = now;
        lastCPU = cpu;
        lastScheduled = scheduled;
    });
    // Measuring ends when the scene is installed. Its frames are not part of
    // the load (the benchmark times them) and take long on a software
    // rasteriser, so the view is hidden.
    view_.hide();
    ticker.start();
    lastTick = clock.elapsed();
    lastCPU = threadCPUMilliseconds();
    lastScheduled = threadScheduledMilliseconds();
    view_.setFileURL(folder_ / "large.splat");
    bool loaded = false;
    while (!loaded && clock.elapsed() < 60000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        loaded = scene().currentSplatCount() == 2'000'000;
    }
    ticker.stop();
    ASSERT_TRUE(loaded);
    EXPECT_LE(longestCPUGap, 50);
    // A join or a reader's lock would hold the thread for much of the load;
    // a busy machine's own stalls (a page fault behind another thread's
    // mapping) stay far shorter.
    EXPECT_LE(longestSleep, std::max(250.0, double(clock.elapsed()) / 4));
    std::cout << "load " << clock.elapsed() << " ms; longest GUI gap " << longestCPUGap << " ms of work, " << longestSleep
              << " ms asleep; file written in " << writing << " ms\n";
}
