#pragma once

#include "core/Error.hpp"

namespace splatrenderer {

// An OpenGL 4.5 core context without any window, through EGL on Mesa's
// surfaceless platform, current on the creating thread for its lifetime.
// It has no default framebuffer: draw into an OffscreenFramebuffer. For
// tests, tools and benchmarks; the viewer draws in its window's context.
class HeadlessGLContext {
public:
    enum class ErrorKind { noDisplay, noContext };
    class Error : public tessaron::core::ErrorOf<ErrorKind> {
    public:
        using ErrorOf::ErrorOf;
    };

    // Throws Error when EGL offers no surfaceless display or no 4.5 core
    // context. `debug` asks for a debug context whose GL errors go to the
    // renderer's log.
    explicit HeadlessGLContext(bool debug = false);
    ~HeadlessGLContext();
    HeadlessGLContext(const HeadlessGLContext&) = delete;
    HeadlessGLContext& operator=(const HeadlessGLContext&) = delete;

    // The renderer and version strings, e.g. "llvmpipe (LLVM 15.0.6, 256
    // bits)" and "4.5 (Core Profile) Mesa 22.3.6".
    static const char* rendererName();
    static const char* versionText();

private:
    void* display_ = nullptr;
    void* context_ = nullptr;
};

}  // namespace splatrenderer
