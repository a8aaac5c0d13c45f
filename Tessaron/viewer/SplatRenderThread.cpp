#include "viewer/SplatRenderThread.hpp"

#include <QCoreApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QThread>
#include <chrono>
#include <vector>

#include "SplatRenderer/OffscreenFramebuffer.hpp"
#include "SplatRenderer/RendererLog.hpp"

namespace tessaron::viewer {

using splatrenderer::GPUDevice;
using splatrenderer::OffscreenFramebuffer;
using splatrenderer::SplatRenderer;

struct SplatRenderThread::Shared {
    std::mutex mutex;
    std::condition_variable wake;
    // Guarded by mutex.
    bool stopping = false;
    std::optional<std::unique_ptr<SplatRenderer>> waitingRenderer;
    std::optional<Frame> waitingFrame;

    FinishedCallback onFinished;
    MakeCurrent makeCurrent;
    // Made on the GUI thread, which keeps the surface; the context moves to
    // the render thread and is deleted there.
    QOffscreenSurface* surface = nullptr;
    QOpenGLContext* context = nullptr;
};

namespace {

// Threads retired while a frame was still being drawn. The application
// waits for them before its windowing system goes, so that no frame is
// cut off and no surface outlives its display.
struct Retired {
    QThread* thread;
    QOffscreenSurface* surface;
};
std::vector<Retired>& retiredThreads() {
    static std::vector<Retired> threads;
    return threads;
}

void release(const Retired& retired) {
    retired.thread->wait();
    delete retired.thread;
    delete retired.surface;
}

void waitForRetiredThreads() {
    for (const Retired& retired : std::exchange(retiredThreads(), {})) release(retired);
}

// On the GUI thread, once a retired thread has ended.
void releaseRetired(QThread* thread) {
    auto& threads = retiredThreads();
    for (auto it = threads.begin(); it != threads.end(); ++it)
        if (it->thread == thread) {
            const Retired retired = *it;
            threads.erase(it);
            release(retired);
            return;
        }
}

}  // namespace

GPUDevice SplatRenderThread::openContext(const QSurfaceFormat& format, Shared& shared) {
    auto surface = std::make_unique<QOffscreenSurface>();
    surface->setFormat(format);
    surface->create();
    auto context = std::make_unique<QOpenGLContext>();
    context->setFormat(format);
    if (!surface->isValid() || !context->create() || !context->makeCurrent(surface.get()))
        throw Error(ErrorKind::noContext, "Unable to initialize SplatRenderer: no OpenGL context could be made");
    std::optional<GPUDevice> device;
    try {
        device = GPUDevice::current();
    } catch (...) {
        context->doneCurrent();
        throw;
    }
    context->doneCurrent();
    shared.surface = surface.release();
    shared.context = context.release();
    return *device;
}

SplatRenderThread::SplatRenderThread(const QSurfaceFormat& format, FinishedCallback onFinished,
                                     MakeCurrent makeCurrent)
    : shared_(std::make_shared<Shared>()), device_(openContext(format, *shared_)) {
    shared_->onFinished = std::move(onFinished);
    shared_->makeCurrent = makeCurrent ? std::move(makeCurrent) : [](QOpenGLContext& context, QOffscreenSurface& surface) {
        return context.makeCurrent(&surface);
    };
    thread_ = QThread::create([shared = shared_] { runOn(*shared); });
    shared_->context->moveToThread(thread_);
    thread_->start();
}

SplatRenderThread::~SplatRenderThread() {
    static const bool registered = [] {
        qAddPostRoutine(waitForRetiredThreads);
        return true;
    }();
    (void)registered;
    retiredThreads().push_back({thread_, shared_->surface});
    QThread* thread = thread_;
    QObject::connect(thread_, &QThread::finished, QCoreApplication::instance(), [thread] { releaseRetired(thread); },
                     Qt::QueuedConnection);
    {
        std::lock_guard lock(shared_->mutex);
        shared_->stopping = true;
    }
    shared_->wake.notify_one();
    // Without an application there is no event loop to release it later.
    if (!QCoreApplication::instance() || QCoreApplication::closingDown()) waitForRetiredThreads();
}

void SplatRenderThread::setRenderer(std::unique_ptr<SplatRenderer> renderer) {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->waitingRenderer = std::move(renderer);
    }
    shared_->wake.notify_one();
}

void SplatRenderThread::draw(const Frame& frame) {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->waitingFrame = frame;
    }
    shared_->wake.notify_one();
}

void SplatRenderThread::runOn(Shared& shared) {
    QOpenGLContext& context = *shared.context;
    // Without it nothing can be drawn; each frame then says why.
    const bool current = shared.makeCurrent(context, *shared.surface);
    std::unique_ptr<SplatRenderer> renderer;
    std::unique_ptr<OffscreenFramebuffer> framebuffer;
    for (;;) {
        std::optional<std::unique_ptr<SplatRenderer>> newRenderer;
        std::optional<Frame> frame;
        {
            std::unique_lock lock(shared.mutex);
            shared.wake.wait(lock, [&] { return shared.stopping || shared.waitingRenderer || shared.waitingFrame; });
            if (shared.stopping) break;
            newRenderer = std::exchange(shared.waitingRenderer, std::nullopt);
            frame = std::exchange(shared.waitingFrame, std::nullopt);
        }
        // The replaced renderer's GL objects belong to this context.
        if (newRenderer) renderer = std::move(*newRenderer);
        if (!frame) continue;

        FinishedFrame finished;
        finished.id = frame->id;
        // Whatever fails here (the framebuffer, finishing earlier frames,
        // the read-back) ends this frame with its reason, which the view
        // shows; an exception leaving the thread would end the application.
        try {
            if (!current)
                throw Error(ErrorKind::noContext,
                            "Unable to draw: the viewer's OpenGL context could not be made current on its drawing "
                            "thread");
            if (frame->beforeDrawing) frame->beforeDrawing();
            if (renderer && frame->width > 0 && frame->height > 0) {
                if (!framebuffer || framebuffer->width() != frame->width || framebuffer->height() != frame->height) {
                    framebuffer.reset();
                    framebuffer = std::make_unique<OffscreenFramebuffer>(frame->width, frame->height, true);
                }
                // Every frame is read back, so the last one has ended and its
                // slot is free again.
                renderer->collectCompletedFrames();
                if (!renderer->isReadyToRender()) renderer->finishFrames();
                const auto start = std::chrono::steady_clock::now();
                try {
                    renderer->render(frame->viewport, framebuffer->name(), frame->frameSlotTimeout,
                                     frame->sortTimeout);
                } catch (const std::exception& error) {
                    // A pipeline that cannot be built, or a buffer that cannot
                    // be made: the frame is skipped and the view says why.
                    splatrenderer::RendererLog::write(splatrenderer::RendererLog::Level::error, "SplatRenderer",
                                                      error.what());
                    finished.failure = error.what();
                }
                finished.drawMilliseconds =
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
                finished.report = renderer->lastFrame();
                // A frame that was not drawn leaves the one shown before.
                if (finished.report.outcome == SplatRenderer::FrameReport::Outcome::drawn)
                    finished.image = std::make_shared<splatrenderer::RGBAImage>(framebuffer->readColor());
                renderer->collectCompletedFrames();
            }
        } catch (const std::exception& error) {
            splatrenderer::RendererLog::write(splatrenderer::RendererLog::Level::error, "SplatRenderer", error.what());
            finished.failure = error.what();
            finished.image.reset();
        }
        std::lock_guard lock(shared.mutex);
        if (!shared.stopping) shared.onFinished(std::move(finished));
    }
    // Retired: everything made with the context goes while it is current.
    framebuffer.reset();
    renderer.reset();
    {
        std::lock_guard lock(shared.mutex);
        shared.waitingRenderer.reset();
    }
    context.doneCurrent();
    delete shared.context;
    shared.context = nullptr;
}

}  // namespace tessaron::viewer
