#include "viewer/SplatSceneRenderer.hpp"

#include <QOpenGLContext>
#include <QOpenGLWidget>
#include <QTimer>
#include <cmath>

#include "SplatFormats/AutodetectSceneReader.hpp"
#include "SplatRenderer/RendererLog.hpp"
#include "SplatRenderer/OffscreenFramebuffer.hpp"

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

void SplatSceneRenderer::Relay::post(std::function<void(SplatSceneRenderer&)> call) {
    std::lock_guard lock(mutex);
    if (target)
        QMetaObject::invokeMethod(
            target, [target = target, call = std::move(call)] { call(*target); }, Qt::QueuedConnection);
}

SplatSceneRenderer::SplatSceneRenderer(QOpenGLWidget* view) : view_(view), nextFrameTimer_(new QTimer(this)) {
    relay_->target = this;
    nextFrameTimer_->setSingleShot(true);
    nextFrameTimer_->setTimerType(Qt::PreciseTimer);
    nextFrameTimer_->setInterval(1000 / preferredFramesPerSecond);
    connect(nextFrameTimer_, &QTimer::timeout, this, &SplatSceneRenderer::requestFrame);
}

SplatSceneRenderer::~SplatSceneRenderer() {
    {
        // Nothing the render or sort threads finish from now on reaches
        // this object.
        std::lock_guard lock(relay_->mutex);
        relay_->target = nullptr;
    }
    for (auto& load : loads_) load.thread.request_stop();
    loads_.clear();  // joins
    // The renderer goes on the render thread, once a frame it may be
    // drawing is done; the window does not wait for it.
    renderThread_.reset();
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
    // The render thread draws into a framebuffer of its own, with depth.
    configuration.depthFormat = splatrenderer::OffscreenFramebuffer::depthFormat;
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
    // Called on the render thread (a frame's fault) and on the sort thread
    // (a newer order, after which a frame that showed an older one is drawn
    // again): both come here through the event loop.
    const std::shared_ptr<Relay> relay = relay_;
    renderer->setOnFrameFailure([relay](const std::string& reason) {
        relay->post([reason](SplatSceneRenderer& target) { target.reportRendererError(reason); });
    });
    renderer->setOnSortComplete([relay](double) {
        relay->publishedSorts.fetch_add(1);
        relay->post([](SplatSceneRenderer& target) { target.sortPublished(); });
    });
    shownFile_ = file;
    rendererErrorReported_ = false;
    currentSplatCount_ = renderer->splatCount();
    hasScene_ = true;
    lastReport_.reset();
    // The old renderer goes on the render thread, with its context.
    renderThread_->setRenderer(std::move(renderer));
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
    // next change.
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
    // Showing frames needs the view's context only to copy them; it goes
    // when the view moves to another window, and the scene stays.
    connect(view_->context(), &QOpenGLContext::aboutToBeDestroyed, this, &SplatSceneRenderer::releaseGL,
            Qt::UniqueConnection);
    if (renderThread_ || !deviceError_.empty()) return;
    try {
        const std::shared_ptr<Relay> relay = relay_;
        renderThread_ = std::make_unique<SplatRenderThread>(
            view_->format(), [relay](SplatRenderThread::FinishedFrame frame) {
                relay->post([frame = std::move(frame)](SplatSceneRenderer& target) { target.frameFinished(frame); });
            });
        device_ = renderThread_->device();
    } catch (const std::exception& error) {
        device_.reset();
        deviceError_ = error.what();
        splatrenderer::RendererLog::write(splatrenderer::RendererLog::Level::error, "SplatRenderer", error.what());
    }
    // The view's context is current again for its own painting.
    view_->makeCurrent();
    if (waitingFile_) {
        const std::filesystem::path file = *std::exchange(waitingFile_, std::nullopt);
        startLoad(file);
    }
}

void SplatSceneRenderer::releaseGL() {
    if (!view_) return;
    view_->makeCurrent();
    releaseDisplay();
    view_->doneCurrent();
}

void SplatSceneRenderer::releaseDisplay() {
    if (displayFramebuffer_ != 0) glDeleteFramebuffers(1, &displayFramebuffer_);
    if (displayTexture_ != 0) glDeleteTextures(1, &displayTexture_);
    displayFramebuffer_ = displayTexture_ = 0;
    displayWidth_ = displayHeight_ = 0;
    imageUploaded_ = false;
}

bool SplatSceneRenderer::isShown() const { return view_ && view_->isVisible(); }

void SplatSceneRenderer::requestFrame() {
    // A view that is not shown draws nothing; shown again, it asks anew.
    if (!isShown() || frameRequested_) return;
    frameRequested_ = true;
    ++requestedFrames_;
    // On the next turn of the event loop, so that the input of one turn
    // makes one frame; after the frame being drawn, if there is one.
    if (!frameInFlight_) QMetaObject::invokeMethod(this, &SplatSceneRenderer::startFrame, Qt::QueuedConnection);
}

void SplatSceneRenderer::startFrame() {
    if (!frameRequested_ || frameInFlight_) return;
    frameRequested_ = false;
    if (!isShown()) return;
    if (!hasScene_ || !renderThread_) {
        // Nothing to draw: the view shows its background.
        if (view_) view_->update();
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

    SplatRenderThread::Frame frame;
    frame.viewport.viewport = {0, 0, drawableWidth_, drawableHeight_, 0, 1};
    // The renderer's projections map depth to 0…1, near to 1; x and y land
    // where the classic −1…1 frustum of the same angle puts them.
    frame.viewport.projectionMatrix =
        Matrix4::perspective(verticalFieldOfView, float(aspect), nearDistance, farDistance);
    frame.viewport.viewMatrix = camera.viewMatrix() * sceneToCameraAxes();
    frame.viewport.screenSize = {int(drawableWidth_), int(drawableHeight_)};
    frame.width = int(drawableWidth_);
    frame.height = int(drawableHeight_);
    frame.frameSlotTimeout = frameSlotTimeout;
    frame.sortTimeout = sortTimeout;
    frame.id = ++nextFrameID_;
    frame.beforeDrawing = beforeDrawing_;
    frameInFlight_ = FrameInFlight{frame.id, now, frame.viewport.viewMatrix, flying, relay_->publishedSorts.load()};
    ++drawnFrames_;
    renderThread_->draw(frame);
}

void SplatSceneRenderer::frameFinished(SplatRenderThread::FinishedFrame finished) {
    if (!frameInFlight_ || frameInFlight_->id != finished.id) return;
    const FrameInFlight frame = *std::exchange(frameInFlight_, std::nullopt);
    if (!finished.failure.empty()) reportRendererError(finished.failure);
    if (finished.image) {
        shownImage_ = std::move(finished.image);
        imageUploaded_ = false;
        if (view_) view_->update();
    }
    lastReport_ = finished.report;

    // The rate counts the time between the frames of one movement of the
    // camera: after a frame of a flight, or within a quarter second of the
    // last (drags and the wheel). A rest is not frame time, nor is the wait
    // for a newer depth order of the same camera, and the figure of the last
    // movement stays until the next one is measured.
    const bool moved = frame.viewMatrix != lastViewMatrix_;
    lastViewMatrix_ = frame.viewMatrix;
    if (lastPaintTime_ && moved) {
        const double interval = std::chrono::duration<double>(frame.time - *lastPaintTime_).count();
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
        lastFPS_ = std::min(double(preferredFramesPerSecond), 1000.0 / std::max(finished.drawMilliseconds, 1e-3));
        estimatedFPS_ = true;
    }
    lastPaintTime_ = frame.time;
    scheduleAfterFrame(frame, finished.report);
    if (onStatsUpdate) onStatsUpdate(SplatViewerStats{lastFPS_, currentSplatCount_, finished.drawMilliseconds});
    // What changed while this frame was drawn is drawn now.
    if (frameRequested_) QMetaObject::invokeMethod(this, &SplatSceneRenderer::startFrame, Qt::QueuedConnection);
}

void SplatSceneRenderer::sortPublished() {
    if (!awaitingSort_) return;
    awaitingSort_ = false;
    // At the next refresh rather than at once: a chain of posted events
    // would keep input and timers waiting for as long as frames follow.
    if (!nextFrameTimer_->isActive()) nextFrameTimer_->start();
}

bool SplatSceneRenderer::isAtRest() const {
    return !frameRequested_ && !frameInFlight_ && !awaitingSort_ && !nextFrameTimer_->isActive();
}

std::optional<SplatRenderer::FrameReport> SplatSceneRenderer::lastFrame() const { return lastReport_; }

void SplatSceneRenderer::scheduleAfterFrame(const FrameInFlight& frame, const SplatRenderer::FrameReport& report) {
    using Outcome = SplatRenderer::FrameReport::Outcome;
    awaitingSort_ = false;
    bool again = frame.flying;
    bool waitsForSort = false;
    switch (report.outcome) {
    case Outcome::noFrameSlot: again = true; break;
    case Outcome::noSortedOrder: waitsForSort = true; break;
    case Outcome::drawn: waitsForSort = !report.sortedForCamera; break;
    // A fault, reported once: the next change tries again.
    case Outcome::skipped: break;
    }
    // An order published while the frame was drawn may be the one it
    // waits for; its notice may have come before the frame did.
    if (waitsForSort && relay_->publishedSorts.load() != frame.publishedSorts)
        again = true;
    else
        awaitingSort_ = waitsForSort;
    if (again) nextFrameTimer_->start();
    wasFlying_ = frame.flying;
}

void SplatSceneRenderer::resizeGL(int pixelWidth, int pixelHeight) {
    drawableWidth_ = pixelWidth;
    drawableHeight_ = pixelHeight;
    requestFrame();
}

void SplatSceneRenderer::clearToBackground(unsigned framebuffer) {
    const GLfloat color[] = {GLfloat(clearColor.red), GLfloat(clearColor.green), GLfloat(clearColor.blue),
                             GLfloat(clearColor.alpha)};
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    glClearColor(color[0], color[1], color[2], color[3]);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
}

void SplatSceneRenderer::paintGL() {
    if (!view_) return;
    const GLuint framebuffer = view_->defaultFramebufferObject();
    // Only the newest finished frame is shown; drawing happens elsewhere,
    // so a paint costs a copy.
    if (!hasScene_ || !shownImage_) {
        clearToBackground(framebuffer);
        return;
    }
    const auto& image = *shownImage_;
    if (displayWidth_ != image.width || displayHeight_ != image.height) {
        releaseDisplay();
        glCreateTextures(GL_TEXTURE_2D, 1, &displayTexture_);
        glTextureStorage2D(displayTexture_, 1, GL_RGBA8, image.width, image.height);
        glCreateFramebuffers(1, &displayFramebuffer_);
        glNamedFramebufferTexture(displayFramebuffer_, GL_COLOR_ATTACHMENT0, displayTexture_, 0);
        displayWidth_ = image.width;
        displayHeight_ = image.height;
    }
    if (!imageUploaded_) {
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glTextureSubImage2D(displayTexture_, 0, 0, 0, image.width, image.height, GL_RGBA, GL_UNSIGNED_BYTE,
                            image.pixels.data());
        imageUploaded_ = true;
    }
    const int width = int(drawableWidth_), height = int(drawableHeight_);
    // A frame of the size before a resize fills the view until the next
    // one is done.
    if (width != image.width || height != image.height) clearToBackground(framebuffer);
    // The image's rows run from the top, GL's from the bottom.
    glBlitNamedFramebuffer(displayFramebuffer_, framebuffer, 0, 0, image.width, image.height, 0, height, width, 0,
                           GL_COLOR_BUFFER_BIT, width == image.width && height == image.height ? GL_NEAREST : GL_LINEAR);
}

}  // namespace tessaron::viewer
