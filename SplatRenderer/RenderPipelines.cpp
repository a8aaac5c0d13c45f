#include "SplatRenderer/RenderPipelines.hpp"

#include <algorithm>

namespace splatrenderer {

RenderPipelines::~RenderPipelines() {
    deleteAccumulation();
    if (vertexArray_ != 0) glDeleteVertexArrays(1, &vertexArray_);
}

std::string RenderPipelines::splatSource(const char* fileName, bool multiStage, bool withCommon) const {
    std::string source = "#version 450 core\n#define PAGE_COUNT " + std::to_string(pageCount_) + "\n";
    if (multiStage) source += "#define MULTI_STAGE 1\n";
    if (withCommon) source += ShaderProgram::librarySource("SplatCommon.glsl");
    source += ShaderProgram::librarySource(fileName);
    return source;
}

void RenderPipelines::buildSingleStage() {
    if (singleStageBuilt_) return;
    singleStageBuilt_ = true;
    singleStagePipeline_ = ShaderProgram(
        "SingleStagePipeline",
        {{GL_VERTEX_SHADER, "singleStageSplatVertexShader", splatSource("SplatVertex.glsl", false, true)},
         {GL_FRAGMENT_SHADER, "singleStageSplatFragmentShader", splatSource("SplatFragment.glsl", false, false)}});
}

void RenderPipelines::buildMultiStage() {
    if (multiStageBuilt_) return;
    multiStageBuilt_ = true;
    drawSplatPipeline_ = ShaderProgram(
        "DrawSplatPipeline",
        {{GL_VERTEX_SHADER, "multiStageSplatVertexShader", splatSource("SplatVertex.glsl", true, true)},
         {GL_FRAGMENT_SHADER, "multiStageSplatFragmentShader", splatSource("SplatFragment.glsl", true, false)}});
    postprocessPipeline_ = ShaderProgram(
        "PostprocessPipeline",
        {{GL_VERTEX_SHADER, "postprocessVertexShader", splatSource("PostprocessVertex.glsl", false, false)},
         {GL_FRAGMENT_SHADER, "postprocessFragmentShader", splatSource("PostprocessFragment.glsl", false, false)}});
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
