#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "SplatRenderer/Matrix4.hpp"
#include "SplatRenderer/SplatSorter.hpp"

namespace splatrenderer {

// One view of a frame, as the client gives it.
struct ViewportDescriptor {
    // In pixels of the target, origin at its lower left; depth range 0 to 1.
    struct Viewport {
        double originX = 0, originY = 0, width = 0, height = 0, znear = 0, zfar = 1;
    };
    Viewport viewport;
    Matrix4 projectionMatrix;
    Matrix4 viewMatrix;  // world to camera; the camera looks down its −z
    std::array<int, 2> screenSize{};
};

// The uniforms of one view, 180 bytes, laid out as std140 reads them.
struct Uniforms {
    Matrix4 projectionMatrix;
    Matrix4 viewMatrix;
    std::array<float, 3> cameraPosition{};
    float _padding0 = 0;
    std::array<std::uint32_t, 2> screenSize{};
    float focalX = 0;
    float focalY = 0;
    float tanHalfFovX = 0;
    float tanHalfFovY = 0;
    std::uint32_t chunkCount = 0;
    std::uint32_t splatCount = 0;
    std::uint32_t indexedSplatCount = 0;
};

// One uniform slot. Only one view is drawn here; the second record keeps
// the slot's layout.
struct UniformsArray {
    Uniforms uniforms0;
    std::array<std::byte, 12> _gap{};
    Uniforms uniforms1;
};

// One chunk of a frame's chunk table, 24 bytes. The chunk's records and
// coefficients are found by page and offset in 32-bit words, since GL
// buffers have no addresses a shader could follow.
struct ChunkTableEntry {
    std::uint32_t splatPage = 0;
    std::uint32_t splatBase = 0;
    std::uint32_t shPage = 0;  // both 0 when the chunk has no coefficients
    std::uint32_t shBase = 0;
    std::uint32_t splatCount = 0;
    std::uint8_t shDegree = 0;
    std::uint8_t enabled = 0;
    std::uint16_t _padding = 0;
};

static_assert(sizeof(Matrix4) == 64);
static_assert(sizeof(Uniforms) == 180 && offsetof(Uniforms, cameraPosition) == 128 &&
              offsetof(Uniforms, screenSize) == 144 && offsetof(Uniforms, focalX) == 152 &&
              offsetof(Uniforms, chunkCount) == 168 && offsetof(Uniforms, indexedSplatCount) == 176);
static_assert(sizeof(UniformsArray) == 372 && offsetof(UniformsArray, uniforms1) == 192);
static_assert(sizeof(ChunkTableEntry) == 24 && offsetof(ChunkTableEntry, shDegree) == 20);

// Uniform slots lie this far apart in the ring.
inline constexpr std::int64_t uniformSlotStride = 512;

// How a frame of n sorted splats is drawn: k splats per instance (at most
// 1024), six indices per splat, enough instances to cover n.
struct FrameGeometry {
    std::uint32_t indexedSplatCount = 0;
    std::uint32_t indexCount = 0;
    std::uint32_t instanceCount = 0;

    static FrameGeometry forSplatCount(std::int64_t sortedSplatCount);
};

// The camera's position and forward direction in the world, from the
// inverse of the view matrix.
SplatSorter::CameraPose cameraPoseForSorting(const ViewportDescriptor& viewport);

// Throws std::invalid_argument for a screen size outside 0 to 2³²−1.
Uniforms makeUniforms(const ViewportDescriptor& viewport, const std::array<float, 3>& cameraPosition,
                      std::uint32_t chunkCount, std::uint32_t splatCount, std::uint32_t indexedSplatCount);

}  // namespace splatrenderer
