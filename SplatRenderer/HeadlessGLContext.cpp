#include "SplatRenderer/HeadlessGLContext.hpp"

#include <EGL/egl.h>
#include <EGL/eglext.h>

#include <sstream>
#include <string>

#include "SplatRenderer/GL.hpp"
#include "SplatRenderer/RendererLog.hpp"

namespace splatrenderer {

namespace {

std::string eglErrorText(const char* what) {
    std::ostringstream text;
    text << what << " (EGL error 0x" << std::hex << eglGetError() << ")";
    return text.str();
}

void APIENTRY logDebugMessage(GLenum, GLenum type, GLuint, GLenum severity, GLsizei, const GLchar* message,
                                const void*) {
    if (type == GL_DEBUG_TYPE_ERROR || severity == GL_DEBUG_SEVERITY_HIGH)
        RendererLog::write(RendererLog::Level::error, "OpenGL", message);
}

}  // namespace

HeadlessGLContext::HeadlessGLContext(bool debug) {
    EGLDisplay display = eglGetPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    if (display == EGL_NO_DISPLAY) throw Error(ErrorKind::noDisplay, eglErrorText("No surfaceless EGL display"));
    EGLint major = 0, minor = 0;
    if (eglInitialize(display, &major, &minor) != EGL_TRUE)
        throw Error(ErrorKind::noDisplay, eglErrorText("The surfaceless EGL display did not initialise"));
    display_ = display;
    if (eglBindAPI(EGL_OPENGL_API) != EGL_TRUE)
        throw Error(ErrorKind::noContext, eglErrorText("EGL offers no desktop OpenGL"));
    const EGLint attributes[] = {EGL_CONTEXT_MAJOR_VERSION,
                                 4,
                                 EGL_CONTEXT_MINOR_VERSION,
                                 5,
                                 EGL_CONTEXT_OPENGL_PROFILE_MASK,
                                 EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT,
                                 EGL_CONTEXT_OPENGL_DEBUG,
                                 debug ? EGL_TRUE : EGL_FALSE,
                                 EGL_NONE};
    // A context without a configuration: it only ever draws into
    // framebuffer objects.
    EGLContext context = eglCreateContext(display, EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, attributes);
    if (context == EGL_NO_CONTEXT) throw Error(ErrorKind::noContext, eglErrorText("No OpenGL 4.5 core context"));
    context_ = context;
    if (eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context) != EGL_TRUE) {
        eglDestroyContext(display, context);
        throw Error(ErrorKind::noContext, eglErrorText("The OpenGL context could not be made current"));
    }
    if (debug) {
        glEnable(GL_DEBUG_OUTPUT_SYNCHRONOUS);
        glDebugMessageCallback(logDebugMessage, nullptr);
    }
}

HeadlessGLContext::~HeadlessGLContext() {
    // The display stays initialised: EGL shares it across the process, and
    // terminating it would pull it from under any other context.
    eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    eglDestroyContext(display_, context_);
}

const char* HeadlessGLContext::rendererName() { return reinterpret_cast<const char*>(glGetString(GL_RENDERER)); }

const char* HeadlessGLContext::versionText() { return reinterpret_cast<const char*>(glGetString(GL_VERSION)); }

}  // namespace splatrenderer
