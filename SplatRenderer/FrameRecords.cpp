#include "SplatRenderer/FrameRecords.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace splatrenderer {

FrameGeometry FrameGeometry::forSplatCount(std::int64_t sortedSplatCount) {
    FrameGeometry geometry;
    if (sortedSplatCount <= 0) return geometry;
    const std::int64_t perInstance = std::min<std::int64_t>(sortedSplatCount, 1024);
    geometry.indexedSplatCount = std::uint32_t(perInstance);
    geometry.indexCount = std::uint32_t(6 * perInstance);
    geometry.instanceCount = std::uint32_t((sortedSplatCount + perInstance - 1) / perInstance);
    return geometry;
}

SplatSorter::CameraPose cameraPoseForSorting(const ViewportDescriptor& viewport) {
    const Matrix4 cameraToWorld = viewport.viewMatrix.inverse();
    SplatSorter::CameraPose pose;
    pose.position = {cameraToWorld(3, 0), cameraToWorld(3, 1), cameraToWorld(3, 2)};
    const std::array<float, 3> forward{-cameraToWorld(2, 0), -cameraToWorld(2, 1), -cameraToWorld(2, 2)};
    const float length = std::sqrt(forward[0] * forward[0] + forward[1] * forward[1] + forward[2] * forward[2]);
    pose.forward = {forward[0] / length, forward[1] / length, forward[2] / length};
    return pose;
}

Uniforms makeUniforms(const ViewportDescriptor& viewport, const std::array<float, 3>& cameraPosition,
                      std::uint32_t chunkCount, std::uint32_t splatCount, std::uint32_t indexedSplatCount) {
    for (int extent : viewport.screenSize)
        if (extent < 0) throw std::invalid_argument("screen size below 0");
    Uniforms uniforms;
    uniforms.projectionMatrix = viewport.projectionMatrix;
    uniforms.viewMatrix = viewport.viewMatrix;
    uniforms.cameraPosition = cameraPosition;
    uniforms.screenSize = {std::uint32_t(viewport.screenSize[0]), std::uint32_t(viewport.screenSize[1])};
    const float width = float(viewport.screenSize[0]);
    const float height = float(viewport.screenSize[1]);
    uniforms.focalX = width * viewport.projectionMatrix(0, 0) * 0.5f;
    uniforms.focalY = height * viewport.projectionMatrix(1, 1) * 0.5f;
    uniforms.tanHalfFovX = 1.0f / viewport.projectionMatrix(0, 0);
    uniforms.tanHalfFovY = 1.0f / viewport.projectionMatrix(1, 1);
    uniforms.chunkCount = chunkCount;
    uniforms.splatCount = splatCount;
    uniforms.indexedSplatCount = indexedSplatCount;
    return uniforms;
}

}  // namespace splatrenderer
