#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <random>
#include <thread>

#include "SorterTestSupport.hpp"
#include "SplatRenderer/AccessState.hpp"

using namespace splatrenderer;
using namespace splatrenderer::testing;

namespace {

// Seconds of each stress run: a few in the suite, more by hand with
// TESSARON_STRESS_SECONDS=10 (under ThreadSanitizer, say).
double stressSeconds() {
    if (const char* text = std::getenv("TESSARON_STRESS_SECONDS")) return std::atof(text);
    return 2.5;
}

}  // namespace

// Chunks come and go while a frame thread takes the newest order, reads it
// as a GPU would, and gives it back, all under the renderer's protocol:
// chunk changes only with exclusive access, frames only between them.
// Every order a frame sees must name each splat of the current chunks
// exactly once, and must not change while the frame holds it.
TEST(SorterStress, ChunksComeAndGoWhileFramesDrawTheNewestOrder) {
    SplatSorter sorter(llvmpipeDevice());
    AccessState access(3);
    // The chunk list as the renderer would hold it: written only with
    // exclusive access, read by frames.
    std::vector<std::shared_ptr<const GPUBuffer<EncodedSplatPoint>>> chunks;
    std::atomic<bool> done = false;
    std::atomic<long> framesWithOrder = 0, chunkChanges = 0;

    std::jthread frameThread([&] {
        std::mt19937 generator(1);
        std::uniform_real_distribution<float> coordinate(-20, 20);
        while (!done) {
            if (!access.tryBeginFrame()) {
                std::this_thread::yield();
                continue;
            }
            SplatSorter::CameraPose pose;
            pose.position = {coordinate(generator), coordinate(generator), coordinate(generator)};
            sorter.setCameraPose(pose);
            auto order = sorter.acquireMostRecentValidIndexBuffer();
            access.finishEncoding();
            if (order) {
                const std::vector<ChunkedSplatIndex> seen(order->elements().begin(), order->elements().end());
                std::size_t total = 0;
                std::vector<std::vector<bool>> named(chunks.size());
                for (std::size_t chunk = 0; chunk < chunks.size(); ++chunk) {
                    total += std::size_t(chunks[chunk]->count());
                    named[chunk].assign(std::size_t(chunks[chunk]->count()), false);
                }
                ASSERT_EQ(seen.size(), total);
                for (const auto& entry : seen) {
                    ASSERT_LT(entry.chunkIndex, chunks.size());
                    ASSERT_LT(entry.splatIndex, named[entry.chunkIndex].size());
                    ASSERT_FALSE(named[entry.chunkIndex][entry.splatIndex]) << "a splat named twice";
                    named[entry.chunkIndex][entry.splatIndex] = true;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(generator() % 300));  // the GPU reads
                ASSERT_TRUE(std::equal(seen.begin(), seen.end(), order->elements().begin(), order->elements().end()))
                    << "an order changed while a frame held it";
                sorter.releaseIndexBuffer(order);
                ++framesWithOrder;
            }
            access.endFrameInFlight();
        }
    });

    std::mt19937 generator(2);
    std::uniform_real_distribution<float> coordinate(-20, 20);
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(stressSeconds());
    while (std::chrono::steady_clock::now() < end) {
        access.withExclusiveAccess([&] {
            const auto choice = generator() % 10;
            if (choice < 5 && chunks.size() < 30) {
                std::vector<SplatPoint> points(generator() % 4000,
                                               roundSplat({0, 0, 0}, 1, {0, 0, 0}));
                for (auto& point : points) point.position = {coordinate(generator), coordinate(generator), coordinate(generator)};
                auto records = SplatChunk(llvmpipeDevice(), points).splats;
                chunks.push_back(records);
                sorter.addChunk(std::uint16_t(chunks.size() - 1), records);
            } else if (choice < 9 && !chunks.empty()) {
                const auto removed = std::uint16_t(generator() % chunks.size());
                std::map<std::uint16_t, std::uint16_t> indexMap;
                for (std::size_t i = 0; i + 1 < chunks.size(); ++i)
                    indexMap[std::uint16_t(i < removed ? i : i + 1)] = std::uint16_t(i);
                chunks.erase(chunks.begin() + removed);
                sorter.removeChunk(removed, indexMap);
            } else {
                chunks.clear();
                sorter.removeAllChunks();
            }
            ++chunkChanges;
        });
        std::this_thread::sleep_for(std::chrono::microseconds(generator() % 2000));
    }
    done = true;
    frameThread.join();
    EXPECT_GT(framesWithOrder, 10);
    EXPECT_GT(chunkChanges, 10);
    std::cout << framesWithOrder << " frames with an order, " << chunkChanges << " chunk changes\n";
}
