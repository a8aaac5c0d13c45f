#include "views/PointSceneRenderer.hpp"

#include <limits>
#include <stdexcept>
#include <vector>

namespace tessaron::views {

namespace {

const char* const vertexSource = R"(#version 330 core
layout(location = 0) in vec3 position;
uniform mat4 transform;
void main() {
    gl_Position = transform * vec4(position, 1.0);
}
)";

const char* const fragmentSource = R"(#version 330 core
uniform vec4 color;
out vec4 fragment;
void main() {
    fragment = color;
}
)";

}  // namespace

PointSceneRenderer::PointSceneRenderer()
    : program_("point scene", {{GL_VERTEX_SHADER, "pointVertex", vertexSource},
                               {GL_FRAGMENT_SHADER, "pointFragment", fragmentSource}}) {
    glGenVertexArrays(1, &vertexArray_);
    transformLocation_ = glGetUniformLocation(program_.name(), "transform");
    colorLocation_ = glGetUniformLocation(program_.name(), "color");
}

PointSceneRenderer::~PointSceneRenderer() {
    for (auto& [key, buffer] : buffers_) glDeleteBuffers(1, &buffer.name);
    glDeleteVertexArrays(1, &vertexArray_);
}

PointSceneRenderer::Buffer& PointSceneRenderer::bufferFor(const PointSetPointer& points) {
    auto found = buffers_.find(points.get());
    // A freed set's address may come back for a new one: the weak owner tells.
    if (found != buffers_.end() && found->second.owner.lock() == points) return found->second;
    if (found != buffers_.end()) {
        glDeleteBuffers(1, &found->second.name);
        buffers_.erase(found);
    }
    std::vector<float> vertices;
    vertices.reserve(points->positions.size() * 3);
    for (const auto& p : points->positions) {
        vertices.push_back(float(p.x));
        vertices.push_back(float(p.y));
        vertices.push_back(float(p.z));
    }
    if (points->positions.size() > std::size_t(std::numeric_limits<GLsizei>::max()))
        throw std::length_error("a point set holds more points than one draw call can");
    Buffer buffer;
    buffer.owner = points;
    buffer.count = GLsizei(points->positions.size());
    glGenBuffers(1, &buffer.name);
    glBindBuffer(GL_ARRAY_BUFFER, buffer.name);
    glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(vertices.size() * sizeof(float)), vertices.data(), GL_STATIC_DRAW);
    return buffers_.emplace(points.get(), buffer).first->second;
}

void PointSceneRenderer::draw(const PointSceneFrame& frame, int width, int height, double pixelRatio,
                              const RGBColor& clear, double clearAlpha) {
    glViewport(0, 0, width, height);
    glClearColor(float(clear.red), float(clear.green), float(clear.blue), float(clearAlpha));
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_CULL_FACE);
    // A fixed size: llvmpipe draws these faster than sizes from the shader.
    glDisable(GL_PROGRAM_POINT_SIZE);
    glEnable(GL_BLEND);
    glUseProgram(program_.name());
    glBindVertexArray(vertexArray_);
    glEnableVertexAttribArray(0);
    glPointSize(float(PointSet::screenDiameter() * pixelRatio));

    const auto viewProjection =
        frame.camera.projectionMatrix(double(width) / std::max(height, 1)) * frame.camera.viewMatrix();
    for (auto& [key, buffer] : buffers_) buffer.used = false;
    for (const auto& layer : frame.points) {
        if (!layer.points || layer.points->positions.empty() || layer.opacity <= 0) continue;
        Buffer& buffer = bufferFor(layer.points);
        buffer.used = true;
        const auto transform = viewProjection * layer.model;
        glUniformMatrix4fv(transformLocation_, 1, GL_FALSE, transform.values.data());
        const auto& c = layer.points->color;
        glUniform4f(colorLocation_, float(c.red), float(c.green), float(c.blue), float(layer.opacity));
        // Additive layers brighten what lies below; the alpha channel keeps
        // the most opaque coverage so that the frame composes correctly.
        if (layer.additive)
            glBlendFuncSeparate(GL_SRC_ALPHA, GL_ONE, GL_ONE, GL_ONE_MINUS_SRC_ALPHA);
        else
            glBlendFuncSeparate(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_ONE, GL_ONE_MINUS_SRC_ALPHA);
        glBindBuffer(GL_ARRAY_BUFFER, buffer.name);
        glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 3 * sizeof(float), nullptr);
        glDrawArrays(GL_POINTS, 0, buffer.count);
    }
    std::erase_if(buffers_, [](auto& entry) {
        if (entry.second.used) return false;
        glDeleteBuffers(1, &entry.second.name);
        return true;
    });
    glBindVertexArray(0);
    glUseProgram(0);
}

}  // namespace tessaron::views
