// The render thread when its context cannot be made current: each frame
// comes back with the reason, which the view shows, and the thread retires
// normally.
#include <gtest/gtest.h>

#include <QOpenGLContext>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "viewer/SplatRenderThread.hpp"
#include "viewer/SplatRendererView.hpp"

using namespace tessaron::viewer;

TEST(SplatRenderThreadTest, AContextThatCannotBeMadeCurrentFailsEachFrameWithItsReason) {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<SplatRenderThread::FinishedFrame> frames;
    {
        SplatRendererView view;  // for the viewer's own surface format
        SplatRenderThread thread(
            view.format(),
            [&](SplatRenderThread::FinishedFrame frame) {
                std::lock_guard lock(mutex);
                frames.push_back(std::move(frame));
                arrived.notify_all();
            },
            [](QOpenGLContext&, QOffscreenSurface&) { return false; });
        for (std::uint64_t id : {1, 2}) {
            SplatRenderThread::Frame frame;
            frame.width = frame.height = 16;
            frame.id = id;
            thread.draw(frame);
            std::unique_lock lock(mutex);
            ASSERT_TRUE(arrived.wait_for(lock, std::chrono::seconds(30), [&] { return frames.size() == id; }));
        }
    }
    for (const SplatRenderThread::FinishedFrame& frame : frames) {
        EXPECT_EQ(frame.failure,
                  "Unable to draw: the viewer's OpenGL context could not be made current on its drawing thread");
        EXPECT_EQ(frame.image, nullptr);
    }
}
