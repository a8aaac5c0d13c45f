#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>

#include "SplatRenderer/SplatRenderer.hpp"
#include "viewer/SplatCameraController.hpp"
#include "viewer/SplatRenderThread.hpp"
#include "viewer/SplatViewerStats.hpp"

class QOpenGLWidget;
class QTimer;

namespace tessaron::viewer {

// Shows one splat file in an OpenGL widget: loads it into a new renderer,
// moves the camera and has each frame drawn on a render thread of its own
// (SplatRenderThread), showing the newest finished one when the widget
// paints.
//
// Frames are drawn only when the picture may change: camera input, held
// movement keys (a frame per display refresh while they move the camera),
// a load, a newer depth order for the camera, a resize or a setting. Once
// a frame shows the order sorted from its own camera nothing more is drawn
// until something changes again, and nothing at all while the view is not
// shown: on a machine without a GPU every frame costs every core. Frames
// are coalesced: one is drawn at a time, and whatever changes meanwhile is
// drawn in one frame after it, from the newest camera.
//
// Threads: everything here belongs to the GUI thread, and the camera is
// only read there, as each frame starts; the GL entry points (initializeGL,
// resizeGL, paintGL, releaseGL) run with the view's context current, which
// only shows finished frames. The renderer shown belongs to the render
// thread once installed. A load reads the file, packs its chunks and hands
// them to a fresh renderer on a worker thread of its own (held in
// `loads_`); the result comes back through the event loop, and only the
// newest load (`loadGeneration_`) installs its renderer. A newer load stops
// the older ones' readers. Load errors are reported on a later turn of the
// event loop, never from inside a paint, since the owner may open a dialog.
class SplatSceneRenderer : public QObject {
    Q_OBJECT

public:
    using ClearColor = splatrenderer::SplatRenderer::ClearColor;
    using StatsCallback = std::function<void(const SplatViewerStats&)>;
    using LoadErrorCallback = std::function<void(const QString& message)>;

    // The frame rate the view asks for while the camera moves by itself.
    static constexpr int preferredFramesPerSecond = 60;
    using Clock = std::chrono::steady_clock;

    explicit SplatSceneRenderer(QOpenGLWidget* view);
    ~SplatSceneRenderer() override;
    SplatSceneRenderer(const SplatSceneRenderer&) = delete;
    SplatSceneRenderer& operator=(const SplatSceneRenderer&) = delete;

    SplatCameraController camera;
    // The background of the next renderer made; the one on screen keeps its own.
    ClearColor clearColor{0, 0, 0, 1};
    StatsCallback onStatsUpdate;
    // "Could not open <file name>: <reason>", for the newest load only.
    LoadErrorCallback onLoadError;

    // Starts loading `file`; the scene on screen stays until it is replaced.
    // A request made before the view has a context starts once it has one.
    void load(const std::filesystem::path& file);

    // Caps the buffers of the renderers made from now on, so that a scene
    // needs more chunks and pages than the device would (tests, experiments).
    void setMaxBufferLength(std::optional<std::int64_t> bytes) { maxBufferLength_ = bytes; }

    // Asks the view for a frame, when it is shown: something changed.
    void requestFrame();
    // The time that moves held-key flight (tests give their own).
    void setClock(std::function<Clock::time_point()> clock) { clock_ = std::move(clock); }
    // Runs on the render thread before each frame is drawn (tests hold a
    // frame there to see the window answer meanwhile).
    void setBeforeDrawing(std::function<void()> hook) { beforeDrawing_ = std::move(hook); }
    // A frame is being drawn on the render thread.
    bool isDrawing() const noexcept { return frameInFlight_.has_value(); }

    // GL entry points, with the view's context current. The first
    // initializeGL starts the render thread.
    void initializeGL();
    void resizeGL(int pixelWidth, int pixelHeight);
    void paintGL();
    // Drops what showing frames made in the view's context before it goes;
    // the scene itself lives on in the render thread's context.
    void releaseGL();

    std::int64_t currentSplatCount() const noexcept { return currentSplatCount_; }
    // Loads whose worker has not yet ended.
    int runningLoadCount() const;
    bool hasScene() const noexcept { return hasScene_; }
    std::uint64_t loadGeneration() const noexcept { return loadGeneration_; }
    // Frames asked for, and frames handed to the renderer.
    std::int64_t requestedFrameCount() const noexcept { return requestedFrames_; }
    std::int64_t drawnFrameCount() const noexcept { return drawnFrames_; }
    // Nothing will be drawn until something changes: no flight, no frame
    // being drawn or waiting for a slot or a newer order, no request
    // outstanding.
    bool isAtRest() const;
    // The renderer's account of the last finished frame of the scene shown.
    std::optional<splatrenderer::SplatRenderer::FrameReport> lastFrame() const;

private:
    struct LoadOutcome {
        std::unique_ptr<splatrenderer::SplatRenderer> renderer;
        std::string error;
    };
    struct Load {
        std::shared_ptr<std::atomic<bool>> finished;
        std::jthread thread;
    };
    // Posts from other threads (the render and sort threads) to this
    // object while it lives; the renderers' callbacks hold it.
    struct Relay {
        std::mutex mutex;
        SplatSceneRenderer* target = nullptr;
        // Depth orders published by the shown renderer's sorter.
        std::atomic<std::uint64_t> publishedSorts = 0;
        void post(std::function<void(SplatSceneRenderer&)> call);
    };
    // The frame on the render thread, as it was started.
    struct FrameInFlight {
        std::uint64_t id = 0;
        Clock::time_point time;
        splatrenderer::Matrix4 viewMatrix;
        bool flying = false;
        std::uint64_t publishedSorts = 0;
    };

    // Runs on a load's worker: none when the load was stopped.
    static std::unique_ptr<splatrenderer::SplatRenderer> buildRenderer(
        const std::filesystem::path& file, const splatrenderer::GPUDevice& device,
        const splatrenderer::SplatRenderer::Configuration& configuration, std::stop_token stop);

    void startLoad(const std::filesystem::path& file);
    void finishLoad(std::uint64_t generation, const std::filesystem::path& file, LoadOutcome outcome);
    void install(const std::filesystem::path& file, std::unique_ptr<splatrenderer::SplatRenderer> renderer);
    // Reports on the next turn of the event loop.
    void reportError(const std::filesystem::path& file, const std::string& reason);
    void reportRendererError(const std::string& reason);
    void joinFinishedLoads();
    void clearToBackground(unsigned framebuffer);
    // Hands the newest camera to the render thread.
    void startFrame();
    // On the GUI thread, when the render thread has drawn a frame.
    void frameFinished(SplatRenderThread::FinishedFrame frame);
    // After a frame: what, if anything, must come next.
    void scheduleAfterFrame(const FrameInFlight& frame, const splatrenderer::SplatRenderer::FrameReport& report);
    void releaseDisplay();
    // On the GUI thread, after the sorter published an order.
    void sortPublished();
    bool isShown() const;

    QPointer<QOpenGLWidget> view_;
    std::optional<splatrenderer::GPUDevice> device_;
    std::string deviceError_;  // why the context cannot draw splats, or empty
    std::optional<std::int64_t> maxBufferLength_;
    std::shared_ptr<Relay> relay_ = std::make_shared<Relay>();
    std::unique_ptr<SplatRenderThread> renderThread_;
    bool hasScene_ = false;
    std::optional<splatrenderer::SplatRenderer::FrameReport> lastReport_;
    std::filesystem::path shownFile_;
    std::optional<std::filesystem::path> waitingFile_;  // asked for before a context existed
    bool rendererErrorReported_ = false;

    double drawableWidth_ = 0;
    double drawableHeight_ = 0;
    std::function<Clock::time_point()> clock_ = [] { return Clock::now(); };
    std::function<void()> beforeDrawing_;
    // The last frame's time while held keys fly the camera; none at rest,
    // so that the first frame after a rest steps 1/60 s, not the rest.
    std::optional<Clock::time_point> lastFrameTime_;
    // The last frame's time and camera, and whether it was a frame of a
    // flight: the frame rate counts the time between frames of one movement.
    std::optional<Clock::time_point> lastPaintTime_;
    splatrenderer::Matrix4 lastViewMatrix_;
    bool wasFlying_ = false;
    std::int64_t frameCount_ = 0;
    double fpsAccum_ = 0;
    double lastFPS_ = 0;
    bool estimatedFPS_ = false;  // lastFPS_ is not yet a measured rate
    std::int64_t currentSplatCount_ = 0;

    // Paces frames while the camera flies or a frame waits for a slot.
    QTimer* nextFrameTimer_ = nullptr;
    bool frameRequested_ = false;  // asked for, not yet started
    std::optional<FrameInFlight> frameInFlight_;
    std::uint64_t nextFrameID_ = 0;
    // The newest finished frame, and what shows it in the view's context.
    std::shared_ptr<const splatrenderer::RGBAImage> shownImage_;
    bool imageUploaded_ = false;
    unsigned displayTexture_ = 0;
    unsigned displayFramebuffer_ = 0;
    int displayWidth_ = 0, displayHeight_ = 0;
    bool awaitingSort_ = false;    // the frame shown waits for a newer order
    std::int64_t requestedFrames_ = 0;
    std::int64_t drawnFrames_ = 0;

    std::uint64_t loadGeneration_ = 0;
    std::uint64_t shownGeneration_ = 0;
    std::list<Load> loads_;
};

}  // namespace tessaron::viewer
