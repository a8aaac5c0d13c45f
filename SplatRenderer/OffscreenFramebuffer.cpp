#include "SplatRenderer/OffscreenFramebuffer.hpp"

#include <algorithm>

namespace splatrenderer {

namespace {

// GL rows run from the bottom; images from the top.
template <typename Value>
void flipRows(std::vector<Value>& values, int width, int height, int perPixel) {
    const std::size_t rowLength = std::size_t(width) * std::size_t(perPixel);
    for (int row = 0; row < height / 2; ++row)
        std::swap_ranges(values.begin() + std::ptrdiff_t(std::size_t(row) * rowLength),
                         values.begin() + std::ptrdiff_t(std::size_t(row + 1) * rowLength),
                         values.begin() + std::ptrdiff_t(std::size_t(height - 1 - row) * rowLength));
}

}  // namespace

OffscreenFramebuffer::OffscreenFramebuffer(int width, int height, bool withDepth) : width_(width), height_(height) {
    glCreateTextures(GL_TEXTURE_2D, 1, &color_);
    glTextureStorage2D(color_, 1, GL_RGBA8, width, height);
    glCreateFramebuffers(1, &framebuffer_);
    glNamedFramebufferTexture(framebuffer_, GL_COLOR_ATTACHMENT0, color_, 0);
    if (withDepth) {
        glCreateTextures(GL_TEXTURE_2D, 1, &depth_);
        glTextureStorage2D(depth_, 1, depthFormat, width, height);
        glNamedFramebufferTexture(framebuffer_, GL_DEPTH_ATTACHMENT, depth_, 0);
    }
}

OffscreenFramebuffer::~OffscreenFramebuffer() {
    glDeleteFramebuffers(1, &framebuffer_);
    glDeleteTextures(1, &color_);
    if (depth_ != 0) glDeleteTextures(1, &depth_);
}

RGBAImage OffscreenFramebuffer::readColor() const {
    RGBAImage image;
    image.width = width_;
    image.height = height_;
    image.pixels.resize(std::size_t(width_) * std::size_t(height_) * 4);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glGetTextureImage(color_, 0, GL_RGBA, GL_UNSIGNED_BYTE, GLsizei(image.pixels.size()), image.pixels.data());
    flipRows(image.pixels, width_, height_, 4);
    return image;
}

std::vector<float> OffscreenFramebuffer::readDepth() const {
    if (depth_ == 0) return {};
    std::vector<float> values(std::size_t(width_) * std::size_t(height_));
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glGetTextureImage(depth_, 0, GL_DEPTH_COMPONENT, GL_FLOAT, GLsizei(values.size() * sizeof(float)), values.data());
    flipRows(values, width_, height_, 1);
    return values;
}

}  // namespace splatrenderer
