#pragma once

#include <initializer_list>

#include "SplatRenderer/ShaderProgram.hpp"

namespace splatrenderer {

// The renderer's two pipeline sets and what they draw with. Both begin
// with a compute stage that projects each splat once (llvmpipe runs compute
// on every core but vertex shading on one), so that the vertex stage only
// places the four corners. The
// single-stage set blends splats straight into the target. The multi-stage
// set, for targets with depth, gathers colour and alpha-weighted depth in
// an offscreen framebuffer of its own and then composites it over the
// target in one full-screen pass that also writes depth. Each set is built
// on the first frame that needs it, and not again after a failure. Render
// thread only; nothing here is made before the first frame.
class RenderPipelines {
public:
    explicit RenderPipelines(int pageCount) : pageCount_(pageCount) {}
    ~RenderPipelines();
    RenderPipelines(const RenderPipelines&) = delete;
    RenderPipelines& operator=(const RenderPipelines&) = delete;

    // Throw ShaderProgram::Error.
    void buildSingleStage();
    void buildMultiStage();

    const ShaderProgram& projectionPipeline() const noexcept { return projectionPipeline_; }
    const ShaderProgram& singleStagePipeline() const noexcept { return singleStagePipeline_; }
    const ShaderProgram& drawSplatPipeline() const noexcept { return drawSplatPipeline_; }
    const ShaderProgram& postprocessPipeline() const noexcept { return postprocessPipeline_; }

    // An empty vertex array: the vertex stage finds everything in buffers.
    GLuint vertexArray();

    // The multi-stage set's offscreen target, at least as large as asked.
    GLuint accumulationFramebuffer(int width, int height);
    GLuint accumulatedColor() const noexcept { return accumulatedColor_; }
    GLuint accumulatedDepth() const noexcept { return accumulatedDepth_; }

private:
    std::string source(std::initializer_list<const char*> fileNames, bool multiStage = false) const;
    void buildProjection();
    void deleteAccumulation();

    int pageCount_;
    bool singleStageBuilt_ = false;
    bool multiStageBuilt_ = false;
    bool projectionBuilt_ = false;
    ShaderProgram projectionPipeline_;
    ShaderProgram singleStagePipeline_;
    ShaderProgram drawSplatPipeline_;
    ShaderProgram postprocessPipeline_;
    GLuint vertexArray_ = 0;
    GLuint accumulationFramebuffer_ = 0;
    GLuint accumulatedColor_ = 0;
    GLuint accumulatedDepth_ = 0;
    int accumulationWidth_ = 0;
    int accumulationHeight_ = 0;
};

}  // namespace splatrenderer
