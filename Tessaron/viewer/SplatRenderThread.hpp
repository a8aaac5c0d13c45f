#pragma once

#include <QSurfaceFormat>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "SplatRenderer/RGBAImage.hpp"
#include "SplatRenderer/SplatRenderer.hpp"

class QOffscreenSurface;
class QOpenGLContext;
class QThread;

namespace tessaron::viewer {

// Draws the viewer's frames on a thread of its own, in an OpenGL context
// of its own that shares nothing with the window's: on a machine without
// a GPU one frame of a large scene takes the processors for a good part of
// a second, and the window must answer meanwhile. Each finished frame is
// read back as an image that the view shows.
//
// Threads: made, given work and retired on the GUI thread; the renderer
// it was handed, its framebuffer and its context belong to the render
// thread from then on, which alone draws with, and destroys, them. Work
// is coalesced, never queued: a frame asked for while another one waits
// replaces it, and a renderer handed over replaces any waiting one.
class SplatRenderThread {
public:
    enum class ErrorKind { noContext };
    class Error : public tessaron::core::ErrorOf<ErrorKind> {
    public:
        using ErrorOf::ErrorOf;
    };

    struct Frame {
        splatrenderer::ViewportDescriptor viewport;
        int width = 0, height = 0;
        double frameSlotTimeout = 0, sortTimeout = 0;
        std::uint64_t id = 0;
        // Runs on the render thread before the frame is drawn (tests hold a
        // frame there).
        std::function<void()> beforeDrawing;
    };
    struct FinishedFrame {
        std::uint64_t id = 0;
        splatrenderer::SplatRenderer::FrameReport report;
        // Rows from the top; none when no renderer was there to draw.
        std::shared_ptr<const splatrenderer::RGBAImage> image;
        double drawMilliseconds = 0;
        // Why the frame could not be drawn, when it failed.
        std::string failure;
    };
    // Called on the render thread after each frame, never once the
    // thread is retired.
    using FinishedCallback = std::function<void(FinishedFrame)>;

    // Makes the context current on the render thread; returns false when
    // it cannot. Tests stand in for QOpenGLContext::makeCurrent with it.
    using MakeCurrent = std::function<bool(QOpenGLContext& context, QOffscreenSurface& surface)>;

    // Makes the context (in `format`) on the GUI thread and reads its
    // limits; throws Error without a context, GPUDevice::Error when it
    // cannot draw splats. A render thread whose context cannot be made
    // current, or whose frame fails in any step, reports the failure with
    // the frame and goes on.
    SplatRenderThread(const QSurfaceFormat& format, FinishedCallback onFinished, MakeCurrent makeCurrent = {});
    // Retires the thread without waiting for a frame that is being drawn:
    // it ends once that frame is done, releasing the renderer and its
    // context there (see retire()).
    ~SplatRenderThread();
    SplatRenderThread(const SplatRenderThread&) = delete;
    SplatRenderThread& operator=(const SplatRenderThread&) = delete;

    const splatrenderer::GPUDevice& device() const noexcept { return device_; }

    // The scene drawn from the next frame on; none draws nothing.
    void setRenderer(std::unique_ptr<splatrenderer::SplatRenderer> renderer);
    void draw(const Frame& frame);

private:
    struct Shared;
    // Makes the surface and the context into `shared` and reads the
    // context's limits.
    static splatrenderer::GPUDevice openContext(const QSurfaceFormat& format, Shared& shared);
    static void runOn(Shared& shared);

    std::shared_ptr<Shared> shared_;
    splatrenderer::GPUDevice device_;
    QThread* thread_ = nullptr;
};

}  // namespace tessaron::viewer
