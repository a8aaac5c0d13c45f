#pragma once

#include <cstdint>

namespace tessaron::viewer {

// What the viewer reports after every frame it handed to the renderer.
struct SplatViewerStats {
    double fps = 0;                  // frames per second over the last whole second
    std::int64_t gaussianCount = 0;  // splats of the enabled chunks
    double drawTimeMs = 0;           // from the start of the frame's encoding to its submission
};

}  // namespace tessaron::viewer
