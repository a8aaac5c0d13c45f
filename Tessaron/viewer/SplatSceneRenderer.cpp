#include "viewer/SplatSceneRenderer.hpp"

#include <QOpenGLContext>
#include <QOpenGLWidget>
#include <QTimer>
#include <cmath>

#include "SplatFormats/AutodetectSceneReader.hpp"
#include "SplatRenderer/RendererLog.hpp"
#include "SplatRenderer/ShaderProgram.hpp"

namespace tessaron::viewer {

using splatrenderer::GPUDevice;
using splatrenderer::Matrix4;
using splatrenderer::SplatChunk;
using splatrenderer::SplatRenderer;
using splatrenderer::ViewportDescriptor;

namespace {

// The scene's axes point right, down and forward; the camera's right, up
// and backward.
Matrix4 sceneToCameraAxes() {
    Matrix4 flip = Matrix4::identity();
    flip(1, 1) = -1;
    flip(2, 2) = -1;
    return flip;
}

constexpr float verticalFieldOfView = float(M_PI / 3);
constexpr float nearDistance = 0.01f;
constexpr float farDistance = 1000;
constexpr double frameSlotTimeout = 0.1;
constexpr double sortTimeout = 0.1;

}  // namespace

SplatSceneRenderer::SplatSceneRenderer(QOpenGLWidget* view) : view_(view), nextFrameTimer_(new QTimer(this)) {
    nextFrameTimer_->setSingleShot(true);
    nextFrameTimer_->setTimerType(Qt::PreciseTimer);
    nextFrameTimer_->setInterval(1000 / preferredFramesPerSecond);
    connect(nextFrameTimer_, &QTimer::timeout, this, &SplatSceneRenderer::requestFrame);
}

SplatSceneRenderer::~SplatSceneRenderer() {
    for (auto& load : loads_) load.thread.request_stop();
    loads_.clear();  // joins
    // A renderer that drew made GL objects: its owner makes the context
    // current first (see SplatRendererView).
    splatRenderer_.reset();
}

void SplatSceneRenderer::load(const std::filesystem::path& file) {
    ++loadGeneration_;
    if (!device_ && deviceError_.empty()) {
        // No context yet: the view has not been shown.
        waitingFile_ = file;
        return;
    }
    waitingFile_.reset();
    startLoad(file);
}

void SplatSceneRenderer::startLoad(const std::filesystem::path& file) {
    joinFinishedLoads();
    // A replaced load stops reading instead of decoding its file to the end.
    for (auto& load : loads_) load.thread.request_stop();
    if (!device_) {
        reportError(file, deviceError_);
        return;
    }

    SplatRenderer::Configuration configuration;
    configuration.depthFormat = view_ && view_->format().depthBufferSize() > 0 ? GL_DEPTH24_STENCIL8 : 0;
    configuration.maxSimultaneousRenders = 3;
    configuration.highQualityDepth = true;
    configuration.clearColor = clearColor;

    const std::uint64_t generation = loadGeneration_;
    const GPUDevice device = maxBufferLength_ ? device_->cappedAt(*maxBufferLength_) : *device_;
    auto finished = std::make_shared<std::atomic<bool>>(false);
    Load& load = loads_.emplace_back(Load{finished, {}});
    load.thread = std::jthread([this, file, generation, device, configuration,
                                finished](std::stop_token stop) {
        auto outcome = std::make_shared<LoadOutcome>();
        try {
            outcome->renderer = buildRenderer(file, device, configuration, stop);
        } catch (const std::exception& error) {
            outcome->error = error.what();
        }
        if (!stop.stop_requested())
            QMetaObject::invokeMethod(
                this, [this, generation, file, outcome] { finishLoad(generation, file, std::move(*outcome)); },
                Qt::QueuedConnection);
        // A stopped load's renderer never drew, so it holds no GL object
        // and may go here.
        outcome.reset();
        finished->store(true);
    });
}

std::unique_ptr<SplatRenderer> SplatSceneRenderer::buildRenderer(const std::filesystem::path& file,
                                                                 const GPUDevice& device,
                                                                 const SplatRenderer::Configuration& configuration,
                                                                 std::stop_token stop) {
    auto renderer = std::make_unique<SplatRenderer>(device, configuration);
    std::vector<splatformats::SplatPoint> points;
    {
        splatformats::SplatBatchSequence batches = splatformats::AutodetectSceneReader(file).read();
        batches.reserveRoomIn(points);
        while (batches.appendNext(points))
            if (stop.stop_requested()) return nullptr;
    }
    // One storage buffer holds only so many splats: a large scene becomes
    // several chunks.
    std::vector<SplatChunk> chunks = SplatChunk::makeChunks(device, points);
    points = {};
    for (auto& chunk : chunks) {
        if (stop.stop_requested()) return nullptr;
        renderer->addChunk(std::move(chunk), true, true);
    }
    return renderer;
}

void SplatSceneRenderer::finishLoad(std::uint64_t generation, const std::filesystem::path& file,
                                    LoadOutcome outcome) {
    joinFinishedLoads();
    // Overtaken by a newer load: dropped, and its failure stays silent.
    if (generation != loadGeneration_) return;
    if (!outcome.renderer) {
        reportError(file, outcome.error);
        return;
    }
    shownGeneration_ = generation;
    install(file, std::move(outcome.renderer));
}

void SplatSceneRenderer::install(const std::filesystem::path& file, std::unique_ptr<SplatRenderer> renderer) {
    renderer->setOnFrameFailure([this](const std::string& reason) { reportRendererError(reason); });
    // The sort thread says when a newer order exists; a frame that showed an
    // older one is drawn again then. The renderer, and with it the sort
    // thread, goes before this object does.
    renderer->setOnSortComplete([this](double) {
        QMetaObject::invokeMethod(this, &SplatSceneRenderer::sortPublished, Qt::QueuedConnection);
    });
    std::unique_ptr<SplatRenderer> previous = std::exchange(splatRenderer_, std::move(renderer));
    if (previous && view_) {
        // The old renderer's GL objects belong to the view's context.
        view_->makeCurrent();
        previous.reset();
        view_->doneCurrent();
    }
    shownFile_ = file;
    rendererErrorReported_ = false;
    currentSplatCount_ = splatRenderer_->splatCount();
    camera.fit({0, 0, 0}, 3);
    awaitingSort_ = false;
    requestFrame();
}

void SplatSceneRenderer::reportError(const std::filesystem::path& file, const std::string& reason) {
    const QString message = QStringLiteral("Could not open ") + QString::fromStdString(file.filename().string()) +
                            QStringLiteral(": ") + QString::fromStdString(reason);
    QTimer::singleShot(0, this, [this, message] {
        if (onLoadError) onLoadError(message);
    });
}

void SplatSceneRenderer::reportRendererError(const std::string& reason) {
    // One report per scene: a frame that cannot be drawn fails again at the
    // next refresh.
    if (rendererErrorReported_) return;
    rendererErrorReported_ = true;
    reportError(shownFile_, reason);
}

void SplatSceneRenderer::joinFinishedLoads() {
    loads_.remove_if([](const Load& load) { return load.finished->load(); });
}

int SplatSceneRenderer::runningLoadCount() const {
    int running = 0;
    for (const auto& load : loads_)
        if (!load.finished->load()) ++running;
    return running;
}

void SplatSceneRenderer::initializeGL() {
    if (!view_) return;
    try {
        device_ = GPUDevice::current();
        deviceError_.clear();
    } catch (const GPUDevice::Error& error) {
        device_.reset();
        deviceError_ = error.what();
        splatrenderer::RendererLog::write(splatrenderer::RendererLog::Level::error, "SplatRenderer", error.what());
    }
    // A widget moved to another window gets a new context; the old one
    // takes the renderer's GL objects with it.
    connect(view_->context(), &QOpenGLContext::aboutToBeDestroyed, this, &SplatSceneRenderer::releaseGL,
            Qt::UniqueConnection);
    if (waitingFile_) {
        const std::filesystem::path file = *std::exchange(waitingFile_, std::nullopt);
        startLoad(file);
    }
}

void SplatSceneRenderer::releaseGL() {
    if (!splatRenderer_ || !view_) return;
    view_->makeCurrent();
    splatRenderer_.reset();
    view_->doneCurrent();
    device_.reset();
    currentSplatCount_ = 0;
    // Shown again from its file once a context exists, unless a newer load
    // is on its way.
    if (shownGeneration_ == loadGeneration_) waitingFile_ = shownFile_;
}

bool SplatSceneRenderer::isShown() const { return view_ && view_->isVisible(); }

void SplatSceneRenderer::requestFrame() {
    // A view that is not shown draws nothing; shown again, it paints anyway.
    if (!isShown() || frameRequested_) return;
    frameRequested_ = true;
    ++requestedFrames_;
    view_->update();
}

void SplatSceneRenderer::sortPublished() {
    if (!awaitingSort_) return;
    awaitingSort_ = false;
    // At the next refresh rather than at once: a chain of posted events
    // would keep input and timers waiting for as long as frames follow.
    if (!nextFrameTimer_->isActive()) nextFrameTimer_->start();
}

bool SplatSceneRenderer::isAtRest() const {
    return !frameRequested_ && !awaitingSort_ && !nextFrameTimer_->isActive();
}

std::optional<SplatRenderer::FrameReport> SplatSceneRenderer::lastFrame() const {
    if (!splatRenderer_) return std::nullopt;
    return splatRenderer_->lastFrame();
}

void SplatSceneRenderer::scheduleAfterFrame(bool flying) {
    using Outcome = SplatRenderer::FrameReport::Outcome;
    awaitingSort_ = false;
    bool again = flying;
    const auto& report = splatRenderer_->lastFrame();
    switch (report.outcome) {
    case Outcome::noFrameSlot: again = true; break;
    case Outcome::noSortedOrder: awaitingSort_ = true; break;
    case Outcome::drawn: awaitingSort_ = !report.sortedForCamera; break;
    // A fault, reported once: the next change tries again.
    case Outcome::skipped: break;
    }
    if (again) nextFrameTimer_->start();
    wasFlying_ = flying;
}

void SplatSceneRenderer::resizeGL(int pixelWidth, int pixelHeight) {
    drawableWidth_ = pixelWidth;
    drawableHeight_ = pixelHeight;
}

void SplatSceneRenderer::clearToBackground(unsigned framebuffer) {
    const GLfloat color[] = {GLfloat(clearColor.red), GLfloat(clearColor.green), GLfloat(clearColor.blue),
                             GLfloat(clearColor.alpha)};
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    glClearColor(color[0], color[1], color[2], color[3]);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
}

void SplatSceneRenderer::paintGL() {
    frameRequested_ = false;
    if (!view_) return;
    const GLuint framebuffer = view_->defaultFramebufferObject();
    if (!splatRenderer_) {
        clearToBackground(framebuffer);
        return;
    }
    // Frames end only when the render thread sees their fences; without
    // this a view that found every slot taken would never free one.
    splatRenderer_->collectCompletedFrames();
    // No free frame slot: the widget keeps showing the last frame, and
    // tries again at the next refresh.
    if (!splatRenderer_->isReadyToRender()) {
        nextFrameTimer_->start();
        return;
    }

    const Clock::time_point now = clock_();
    const float timeStep =
        lastFrameTime_ ? std::chrono::duration<float>(now - *lastFrameTime_).count() : 1.0f / 60.0f;
    camera.update(timeStep);
    const bool flying = camera.isFlying();
    lastFrameTime_ = flying ? std::optional(now) : std::nullopt;
    // A collapsed pane can have a width but no height.
    const double aspect = drawableWidth_ > 0 && drawableHeight_ > 0 ? drawableWidth_ / drawableHeight_ : 1.0;

    const Clock::time_point encodingStart = Clock::now();
    ViewportDescriptor viewport;
    viewport.viewport = {0, 0, drawableWidth_, drawableHeight_, 0, 1};
    // The renderer's projections map depth to 0…1, near to 1; x and y land
    // where the classic −1…1 frustum of the same angle puts them.
    viewport.projectionMatrix = Matrix4::perspective(verticalFieldOfView, float(aspect), nearDistance, farDistance);
    viewport.viewMatrix = camera.viewMatrix() * sceneToCameraAxes();
    viewport.screenSize = {int(drawableWidth_), int(drawableHeight_)};
    try {
        splatRenderer_->render(viewport, framebuffer, frameSlotTimeout, sortTimeout);
    } catch (const splatrenderer::ShaderProgram::Error& error) {
        splatrenderer::RendererLog::write(splatrenderer::RendererLog::Level::error, "SplatRenderer", error.what());
        reportRendererError(error.what());
    }
    const Clock::time_point encodingEnd = Clock::now();
    ++drawnFrames_;

    // The rate counts the time between the frames of one movement of the
    // camera: after a frame of a flight, or within a quarter second of the
    // last (drags and the wheel). A rest is not frame time, nor is the wait
    // for a newer depth order of the same camera, and the figure of the last
    // movement stays until the next one is measured.
    const bool moved = viewport.viewMatrix != lastViewMatrix_;
    lastViewMatrix_ = viewport.viewMatrix;
    if (lastPaintTime_ && moved) {
        const double interval = std::chrono::duration<double>(now - *lastPaintTime_).count();
        if (wasFlying_ || interval <= 0.25) {
            ++frameCount_;
            fpsAccum_ += std::max(interval, 0.0);
            if (fpsAccum_ >= 1.0 || (estimatedFPS_ && fpsAccum_ > 0)) {
                estimatedFPS_ = false;
                lastFPS_ = double(frameCount_) / fpsAccum_;
                if (fpsAccum_ >= 1.0) {
                    frameCount_ = 0;
                    fpsAccum_ = 0;
                }
            }
        }
    }
    // Before any movement was measured, the rate this frame's drawing
    // would allow, so that an opened model does not read 0.
    if ((lastFPS_ == 0 || estimatedFPS_) && frameCount_ == 0) {
        const double seconds = std::chrono::duration<double>(encodingEnd - encodingStart).count();
        lastFPS_ = std::min(double(preferredFramesPerSecond), 1.0 / std::max(seconds, 1e-6));
        estimatedFPS_ = true;
    }
    lastPaintTime_ = now;
    scheduleAfterFrame(flying);
    if (onStatsUpdate)
        onStatsUpdate(SplatViewerStats{lastFPS_, currentSplatCount_,
                                       std::chrono::duration<double, std::milli>(encodingEnd - encodingStart).count()});
}

}  // namespace tessaron::viewer
