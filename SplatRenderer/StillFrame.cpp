#include "SplatRenderer/StillFrame.hpp"

#include <chrono>
#include <future>
#include <memory>

namespace splatrenderer {

bool StillFrame::render(SplatRenderer& renderer, const ViewportDescriptor& viewport, GLuint framebuffer,
                        double timeoutSeconds) {
    const auto timeout = std::chrono::duration<double>(timeoutSeconds);
    auto drawAndFinish = [&] {
        const bool drawn = renderer.render(viewport, framebuffer, timeoutSeconds, timeoutSeconds);
        renderer.finishFrames();
        return drawn;
    };
    // Draws a frame, which hands the sorter its camera, and waits for the
    // next pass to be published.
    auto drawAndWaitForSort = [&] {
        auto sorted = std::make_shared<std::promise<void>>();
        auto done = sorted->get_future();
        renderer.afterNextSort([sorted] { sorted->set_value(); });
        drawAndFinish();
        return done.wait_for(timeout) == std::future_status::ready;
    };
    if (renderer.chunkCount() == 0) return drawAndFinish();
    // The pass published after the first frame may have begun before it;
    // one published after that began later, from this camera.
    if (!drawAndWaitForSort() || !drawAndWaitForSort()) return false;
    return drawAndFinish();
}

}  // namespace splatrenderer
