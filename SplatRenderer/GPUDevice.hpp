#pragma once

#include <cstdint>

#include "core/Error.hpp"

namespace splatrenderer {

// The limits of the GL implementation that buffers and frames respect. A
// buffer that a shader reads as one storage block may not exceed
// GL_MAX_SHADER_STORAGE_BLOCK_SIZE (128 MiB on Mesa's llvmpipe), so that is
// the longest buffer the renderer makes. A device is a plain value: code
// that only fills buffers (the sorter, chunk building) needs no context.
class GPUDevice {
public:
    enum class ErrorKind { noCurrentContext, unsupportedContext };
    class Error : public tessaron::core::ErrorOf<ErrorKind> {
    public:
        using ErrorOf::ErrorOf;
    };

    // The storage blocks one shader stage may use on llvmpipe.
    static constexpr int defaultMaxStorageBlocks = 16;

    explicit GPUDevice(std::int64_t maxBufferLength, int maxStorageBlocks = defaultMaxStorageBlocks,
                       bool softwareRasterizer = false)
        : maxBufferLength_(maxBufferLength), maxStorageBlocks_(maxStorageBlocks), softwareRasterizer_(softwareRasterizer) {}

    // The limits of the context current on this thread, which must offer
    // OpenGL 4.5 (storage buffers, direct state access, clip control).
    static GPUDevice current();

    std::int64_t maxBufferLength() const noexcept { return maxBufferLength_; }
    // The fewest storage blocks a vertex or compute shader may use.
    int maxStorageBlocks() const noexcept { return maxStorageBlocks_; }
    // Whether the processor draws (Mesa's llvmpipe and softpipe, SwiftShader),
    // which shades two orders of magnitude fewer fragments a second than a GPU.
    bool isSoftwareRasterizer() const noexcept { return softwareRasterizer_; }

    // The same device with buffers capped shorter, so that a scene splits
    // into more chunks than the hardware needs (tests, experiments).
    GPUDevice cappedAt(std::int64_t maxBufferLength) const;

private:
    std::int64_t maxBufferLength_;
    int maxStorageBlocks_;
    bool softwareRasterizer_;
};

}  // namespace splatrenderer
