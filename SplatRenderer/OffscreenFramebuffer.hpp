#pragma once

#include "SplatRenderer/GL.hpp"
#include "SplatRenderer/RGBAImage.hpp"

namespace splatrenderer {

// A framebuffer of our own to draw into without a window: an 8-bit RGBA
// colour texture and, when asked, a 32-bit float depth texture. Made, read
// and deleted on the thread of its context.
class OffscreenFramebuffer {
public:
    static constexpr GLenum depthFormat = GL_DEPTH_COMPONENT32F;

    OffscreenFramebuffer(int width, int height, bool withDepth);
    ~OffscreenFramebuffer();
    OffscreenFramebuffer(const OffscreenFramebuffer&) = delete;
    OffscreenFramebuffer& operator=(const OffscreenFramebuffer&) = delete;

    GLuint name() const noexcept { return framebuffer_; }
    int width() const noexcept { return width_; }
    int height() const noexcept { return height_; }

    // The colour after every command so far, rows from the top.
    RGBAImage readColor() const;
    // The depth values, rows from the top; empty without depth.
    std::vector<float> readDepth() const;

private:
    int width_;
    int height_;
    GLuint framebuffer_ = 0;
    GLuint color_ = 0;
    GLuint depth_ = 0;
};

}  // namespace splatrenderer
