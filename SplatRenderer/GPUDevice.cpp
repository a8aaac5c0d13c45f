#include "SplatRenderer/GPUDevice.hpp"

#include <algorithm>
#include <string>

#include "SplatRenderer/GL.hpp"

namespace splatrenderer {

GPUDevice GPUDevice::current() {
    const auto* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
    if (version == nullptr)
        throw Error(ErrorKind::noCurrentContext, "Unable to initialize SplatRenderer: no OpenGL context is current");
    GLint major = 0, minor = 0;
    glGetIntegerv(GL_MAJOR_VERSION, &major);
    glGetIntegerv(GL_MINOR_VERSION, &minor);
    if (major < 4 || (major == 4 && minor < 5))
        throw Error(ErrorKind::unsupportedContext,
                    "Unable to initialize SplatRenderer: OpenGL 4.5 or later is needed, the context offers " +
                        std::string(version));
    GLint64 blockSize = 0;
    GLint vertexBlocks = 0, computeBlocks = 0;
    glGetInteger64v(GL_MAX_SHADER_STORAGE_BLOCK_SIZE, &blockSize);
    glGetIntegerv(GL_MAX_VERTEX_SHADER_STORAGE_BLOCKS, &vertexBlocks);
    glGetIntegerv(GL_MAX_COMPUTE_SHADER_STORAGE_BLOCKS, &computeBlocks);
    const auto* renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
    const std::string rendererName = renderer ? renderer : "";
    bool software = false;
    for (const char* name : {"llvmpipe", "softpipe", "SwiftShader", "Software Rasterizer"})
        if (rendererName.find(name) != std::string::npos) software = true;
    return GPUDevice(blockSize, std::min(vertexBlocks, computeBlocks), software);
}

GPUDevice GPUDevice::cappedAt(std::int64_t maxBufferLength) const {
    return GPUDevice(std::min(maxBufferLength, maxBufferLength_), maxStorageBlocks_, softwareRasterizer_);
}

}  // namespace splatrenderer
