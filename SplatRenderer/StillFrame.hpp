#pragma once

#include "SplatRenderer/SplatRenderer.hpp"

namespace splatrenderer {

// A single picture for tools and tests: a frame is drawn as soon as any
// order exists, which may have been sorted for an earlier camera. A still
// frame is drawn again until the order it shows was sorted from its own
// camera, and then waited for on the GPU.
class StillFrame {
public:
    // True when the final frame was drawn; false when no order came within
    // `timeoutSeconds` for one wait. Render thread only.
    static bool render(SplatRenderer& renderer, const ViewportDescriptor& viewport, GLuint framebuffer,
                       double timeoutSeconds);
};

}  // namespace splatrenderer
