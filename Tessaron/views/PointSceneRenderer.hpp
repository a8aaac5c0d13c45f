#pragma once

#include <map>
#include <memory>

#include "SplatRenderer/GL.hpp"
#include "SplatRenderer/ShaderProgram.hpp"
#include "views/PointScene.hpp"

namespace tessaron::views {

// Draws the point layers of a PointSceneFrame into the current framebuffer
// with OpenGL 3.3 core (llvmpipe runs it). Each point set is uploaded once,
// on the first frame that draws it, and its buffer is freed on the first
// frame that no longer does. Made, used and destroyed on the thread of its
// context, with that context current.
class PointSceneRenderer {
public:
    // Compiles the program; throws splatrenderer::ShaderProgram::Error.
    PointSceneRenderer();
    ~PointSceneRenderer();
    PointSceneRenderer(const PointSceneRenderer&) = delete;
    PointSceneRenderer& operator=(const PointSceneRenderer&) = delete;

    // Clears to `clear` (alpha included) and draws the frame's points for a
    // framebuffer of width × height pixels, `pixelRatio` pixels per point.
    void draw(const PointSceneFrame& frame, int width, int height, double pixelRatio, const RGBColor& clear,
              double clearAlpha);

    std::size_t uploadedSetCount() const { return buffers_.size(); }

private:
    struct Buffer {
        std::weak_ptr<const PointSet> owner;
        GLuint name = 0;
        GLsizei count = 0;
        bool used = false;
    };
    Buffer& bufferFor(const PointSetPointer& points);

    splatrenderer::ShaderProgram program_;
    GLuint vertexArray_ = 0;
    GLint transformLocation_ = -1;
    GLint colorLocation_ = -1;
    std::map<const PointSet*, Buffer> buffers_;
};

}  // namespace tessaron::views
