#include "SplatRenderer/RenderPipelines.hpp"

#include <algorithm>

namespace splatrenderer {

RenderPipelines::~RenderPipelines() {
    deleteAccumulation();
    if (vertexArray_ != 0) glDeleteVertexArrays(1, &vertexArray_);
}

std::string RenderPipelines::source(std::initializer_list<const char*> fileNames, bool multiStage) const {
    std::string text = "#version 450 core\n#define PAGE_COUNT " + std::to_string(pageCount_) + "\n";
    if (multiStage) text += "#define MULTI_STAGE 1\n";
    for (const char* fileName : fileNames) text += ShaderProgram::librarySource(fileName);
    return text;
}

void RenderPipelines::buildProjection() {
    if (projectionBuilt_) return;
    projectionBuilt_ = true;
    projectionPipeline_ = ShaderProgram(
        "ProjectSplatsPipeline", {{GL_COMPUTE_SHADER, "projectSplatsComputeShader",
                                   source({"SplatUniforms.glsl", "SplatData.glsl", "ProjectSplats.glsl"})}});
}

void RenderPipelines::buildSingleStage() {
    if (singleStageBuilt_) return;
    singleStageBuilt_ = true;
    buildProjection();
    singleStagePipeline_ = ShaderProgram(
        "SingleStagePipeline",
        {{GL_VERTEX_SHADER, "singleStageSplatVertexShader", source({"SplatUniforms.glsl", "SplatVertex.glsl"})},
         {GL_FRAGMENT_SHADER, "singleStageSplatFragmentShader", source({"SplatFragment.glsl"})}});
}

void RenderPipelines::buildMultiStage() {
    if (multiStageBuilt_) return;
    multiStageBuilt_ = true;
    buildProjection();
    drawSplatPipeline_ = ShaderProgram(
        "DrawSplatPipeline",
        {{GL_VERTEX_SHADER, "multiStageSplatVertexShader", source({"SplatUniforms.glsl", "SplatVertex.glsl"}, true)},
         {GL_FRAGMENT_SHADER, "multiStageSplatFragmentShader", source({"SplatFragment.glsl"}, true)}});
    postprocessPipeline_ = ShaderProgram(
        "PostprocessPipeline",
        {{GL_VERTEX_SHADER, "postprocessVertexShader", source({"PostprocessVertex.glsl"})},
         {GL_FRAGMENT_SHADER, "postprocessFragmentShader", source({"PostprocessFragment.glsl"})}});
}

GLuint RenderPipelines::vertexArray() {
    if (vertexArray_ == 0) glCreateVertexArrays(1, &vertexArray_);
    return vertexArray_;
}

void RenderPipelines::deleteAccumulation() {
    if (accumulationFramebuffer_ != 0) glDeleteFramebuffers(1, &accumulationFramebuffer_);
    if (accumulatedColor_ != 0) glDeleteTextures(1, &accumulatedColor_);
    if (accumulatedDepth_ != 0) glDeleteTextures(1, &accumulatedDepth_);
    accumulationFramebuffer_ = accumulatedColor_ = accumulatedDepth_ = 0;
    accumulationWidth_ = accumulationHeight_ = 0;
}

GLuint RenderPipelines::accumulationFramebuffer(int width, int height) {
    width = std::max(width, 1);
    height = std::max(height, 1);
    if (accumulationFramebuffer_ != 0 && accumulationWidth_ >= width && accumulationHeight_ >= height)
        return accumulationFramebuffer_;
    deleteAccumulation();
    // Half floats keep many faint splats from banding; depth needs 32 bits.
    glCreateTextures(GL_TEXTURE_2D, 1, &accumulatedColor_);
    glTextureStorage2D(accumulatedColor_, 1, GL_RGBA16F, width, height);
    glCreateTextures(GL_TEXTURE_2D, 1, &accumulatedDepth_);
    glTextureStorage2D(accumulatedDepth_, 1, GL_R32F, width, height);
    // A frame drawn at a lower resolution is stretched over its target.
    for (GLuint texture : {accumulatedColor_, accumulatedDepth_}) {
        glTextureParameteri(texture, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTextureParameteri(texture, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTextureParameteri(texture, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTextureParameteri(texture, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    }
    glCreateFramebuffers(1, &accumulationFramebuffer_);
    glNamedFramebufferTexture(accumulationFramebuffer_, GL_COLOR_ATTACHMENT0, accumulatedColor_, 0);
    glNamedFramebufferTexture(accumulationFramebuffer_, GL_COLOR_ATTACHMENT1, accumulatedDepth_, 0);
    const GLenum drawBuffers[] = {GL_COLOR_ATTACHMENT0, GL_COLOR_ATTACHMENT1};
    glNamedFramebufferDrawBuffers(accumulationFramebuffer_, 2, drawBuffers);
    accumulationWidth_ = width;
    accumulationHeight_ = height;
    return accumulationFramebuffer_;
}

}  // namespace splatrenderer
