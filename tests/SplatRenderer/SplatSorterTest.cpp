#include <gtest/gtest.h>

#include <atomic>

#include "SorterTestSupport.hpp"
#include "support/WaitUntil.hpp"

using namespace splatrenderer;
using namespace splatrenderer::testing;
using namespace std::chrono_literals;

namespace {

std::vector<ChunkedSplatIndex> unsorted(std::uint16_t chunk, std::uint32_t count) {
    std::vector<ChunkedSplatIndex> entries;
    for (std::uint32_t splat = 0; splat < count; ++splat) entries.emplace_back(chunk, splat);
    return entries;
}

std::vector<ChunkedSplatIndex> joined(std::vector<ChunkedSplatIndex> a, const std::vector<ChunkedSplatIndex>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

SplatSorter::CameraPose poseAt(float x) {
    SplatSorter::CameraPose pose;
    pose.position = {x, 0, 0};
    return pose;
}

// Waits until the sort loop has ended.
bool loopEnds(SplatSorter& sorter) {
    return tessaron::testing::waitUntil([&] { return !sorter.snapshot().sortLoopRunning; });
}

}  // namespace

TEST(SplatSorter, NothingToDrawBeforeTheFirstChunk) {
    SplatSorter sorter(llvmpipeDevice());
    EXPECT_EQ(sorter.acquireMostRecentValidIndexBuffer(), nullptr);
    const auto state = sorter.snapshot();
    EXPECT_FALSE(state.mostRecentValidBufferIndex.has_value());
    EXPECT_EQ(state.counts, (std::array<std::int64_t, 3>{0, 0, 0}));
}

TEST(SplatSorter, AddedChunksAreDrawableAtOnceInUnsortedOrder) {
    SplatSorter sorter(llvmpipeDevice());
    PassGate gate;
    gate.install(sorter);
    sorter.addChunk(0, recordsAlongX(4));
    // The first order is published in buffer 0 before any pass.
    EXPECT_EQ(sorter.snapshot().mostRecentValidBufferIndex, 0);
    EXPECT_EQ(sorter.indexBufferContents(0), unsorted(0, 4));
    ASSERT_TRUE(gate.waitForStarted(1));
    EXPECT_EQ(sorter.snapshot().sortingBufferIndex, 1);

    // A second chunk, while buffer 0 is newest, goes to its end unsorted.
    sorter.addChunk(1, recordsAlongX(2, 10));
    EXPECT_EQ(sorter.snapshot().mostRecentValidBufferIndex, 0);
    EXPECT_EQ(sorter.indexBufferContents(0), joined(unsorted(0, 4), unsorted(1, 2)));

    // The blocked pass saw the old chunk list and is dropped; the next one,
    // from a camera at x = -100, publishes the farthest (x = 11) first.
    sorter.setCameraPose(poseAt(-100));
    auto published = nextPublishedSort(sorter);
    gate.open();
    ASSERT_TRUE(isReady(published));
    const auto state = sorter.snapshot();
    ASSERT_TRUE(state.mostRecentValidBufferIndex.has_value());
    EXPECT_EQ(sorter.indexBufferContents(*state.mostRecentValidBufferIndex),
              (std::vector<ChunkedSplatIndex>{{1, 1}, {1, 0}, {0, 3}, {0, 2}, {0, 1}, {0, 0}}));
}

TEST(SplatSorter, PassesNeverWriteAHeldOrTheNewestBuffer) {
    SplatSorter sorter(llvmpipeDevice());
    std::atomic<int> passes = 0;
    sorter.setOnSortStart([&] { ++passes; });
    auto published = nextPublishedSort(sorter);
    sorter.addChunk(0, recordsAlongX(3));  // buffer 0, then a pass into 1
    ASSERT_TRUE(isReady(published));
    ASSERT_EQ(sorter.snapshot().mostRecentValidBufferIndex, 1);
    auto held1 = sorter.acquireMostRecentValidIndexBuffer();
    ASSERT_NE(held1, nullptr);

    published = nextPublishedSort(sorter);
    sorter.setCameraPose(poseAt(1));
    ASSERT_TRUE(isReady(published));
    EXPECT_EQ(sorter.snapshot().mostRecentValidBufferIndex, 0);

    // Buffer 0 newest, buffer 1 held: the next pass writes buffer 2.
    published = nextPublishedSort(sorter);
    sorter.setCameraPose(poseAt(2));
    ASSERT_TRUE(isReady(published));
    EXPECT_EQ(sorter.snapshot().mostRecentValidBufferIndex, 2);

    // Buffer 0 newest again, buffers 1 and 2 held: the loop waits.
    auto held2 = sorter.acquireMostRecentValidIndexBuffer();
    published = nextPublishedSort(sorter);
    sorter.setCameraPose(poseAt(3));
    ASSERT_TRUE(isReady(published));
    ASSERT_EQ(sorter.snapshot().mostRecentValidBufferIndex, 0);
    const int passesBefore = passes;
    published = nextPublishedSort(sorter);
    sorter.setCameraPose(poseAt(4));
    EXPECT_FALSE(isReady(published, 50ms));
    EXPECT_EQ(passes, passesBefore);
    EXPECT_TRUE(sorter.snapshot().needsSort);
    EXPECT_EQ(sorter.snapshot().referenceCounts, (std::array<int, 3>{0, 1, 1}));

    sorter.releaseIndexBuffer(held1);
    ASSERT_TRUE(isReady(published));
    EXPECT_EQ(sorter.snapshot().mostRecentValidBufferIndex, 1);
    sorter.releaseIndexBuffer(held2);
    EXPECT_EQ(sorter.snapshot().referenceCounts, (std::array<int, 3>{0, 0, 0}));
}

TEST(SplatSorter, AReleaseOfAForeignBufferChangesNothing) {
    SplatSorter sorter(llvmpipeDevice());
    sorter.addChunk(0, recordsAlongX(2));
    auto held = sorter.acquireMostRecentValidIndexBuffer();
    ASSERT_NE(held, nullptr);
    const auto before = sorter.snapshot().referenceCounts;
    sorter.releaseIndexBuffer(std::make_shared<SplatSorter::IndexBufferStorage>(llvmpipeDevice(), 1));
    EXPECT_EQ(sorter.snapshot().referenceCounts, before);
    sorter.releaseIndexBuffer(held);
}

TEST(SplatSorter, APassOverAChangedChunkListIsDroppedAndItsHandlersWait) {
    SplatSorter sorter(llvmpipeDevice());
    PassGate gate;
    gate.install(sorter);
    std::atomic<int> completions = 0;
    sorter.setOnSortComplete([&](double seconds) {
        EXPECT_GE(seconds, 0);
        ++completions;
    });
    sorter.addChunk(0, recordsAlongX(5));
    ASSERT_TRUE(gate.waitForStarted(1));
    auto published = nextPublishedSort(sorter);
    sorter.addChunk(1, recordsAlongX(5, 5));
    gate.open();
    ASSERT_TRUE(isReady(published));
    // The first pass was dropped without a word; the second published.
    EXPECT_EQ(gate.started(), 2);
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(sorter.snapshot().pendingHandlerCount, 0u);
}

TEST(SplatSorter, AHandlerWaitsForASortThatSomethingAsksFor) {
    SplatSorter sorter(llvmpipeDevice());
    auto first = nextPublishedSort(sorter);
    sorter.addChunk(0, recordsAlongX(3));
    ASSERT_TRUE(isReady(first));
    // No camera or chunk change: no pass runs, the handler waits.
    auto second = nextPublishedSort(sorter);
    EXPECT_FALSE(isReady(second, 50ms));
    sorter.setCameraPose(poseAt(7));
    EXPECT_TRUE(isReady(second));
}

TEST(SplatSorter, RemovingAChunkRenumbersTheNewestOrderInPlace) {
    SplatSorter sorter(llvmpipeDevice());
    PassGate gate;  // keeps every pass from publishing
    gate.install(sorter);
    sorter.addChunk(0, recordsAlongX(2));
    sorter.addChunk(1, recordsAlongX(3));
    sorter.addChunk(2, recordsAlongX(2));
    // A pass held at the gate: no new pass can take the sort request below.
    ASSERT_TRUE(gate.waitForStarted(1));
    sorter.removeChunk(1, {{0, 0}, {2, 1}});
    EXPECT_EQ(sorter.snapshot().mostRecentValidBufferIndex, 0);
    EXPECT_EQ(sorter.indexBufferContents(0), joined(unsorted(0, 2), unsorted(1, 2)));
    EXPECT_EQ(sorter.snapshot().chunkCount, 2u);
    EXPECT_TRUE(sorter.snapshot().needsSort);
    gate.open();
}

TEST(SplatSorter, RemovingTheOnlyChunkLeavesNothingToDrawAndEndsTheLoop) {
    SplatSorter sorter(llvmpipeDevice());
    PassGate gate;
    gate.install(sorter);
    sorter.addChunk(0, recordsAlongX(4));
    ASSERT_TRUE(gate.waitForStarted(1));
    sorter.removeChunk(0, {});
    auto state = sorter.snapshot();
    EXPECT_FALSE(state.isValid[0]);
    EXPECT_FALSE(state.mostRecentValidBufferIndex.has_value());
    EXPECT_FALSE(state.needsSort);
    EXPECT_EQ(sorter.acquireMostRecentValidIndexBuffer(), nullptr);
    gate.open();
    ASSERT_TRUE(loopEnds(sorter));
    // The pass that was running saw the old list: it published nothing.
    EXPECT_FALSE(sorter.snapshot().mostRecentValidBufferIndex.has_value());
}

TEST(SplatSorter, RemovingAllChunksForgetsEveryPublishedOrder) {
    SplatSorter sorter(llvmpipeDevice());
    auto published = nextPublishedSort(sorter);
    sorter.addChunk(0, recordsAlongX(4));
    sorter.addChunk(1, recordsAlongX(4));
    ASSERT_TRUE(isReady(published));
    PassGate gate;
    gate.install(sorter);
    sorter.setCameraPose(poseAt(3));
    ASSERT_TRUE(gate.waitForStarted(1));
    sorter.removeAllChunks();
    const auto state = sorter.snapshot();
    EXPECT_EQ(state.isValid, (std::array<bool, 3>{false, false, false}));
    EXPECT_FALSE(state.mostRecentValidBufferIndex.has_value());
    EXPECT_EQ(sorter.acquireMostRecentValidIndexBuffer(), nullptr);
    gate.open();
    ASSERT_TRUE(loopEnds(sorter));
    // The pass that ran across the removal did not publish indices of the
    // removed chunks.
    EXPECT_FALSE(sorter.snapshot().mostRecentValidBufferIndex.has_value());
    EXPECT_EQ(sorter.acquireMostRecentValidIndexBuffer(), nullptr);
}

TEST(SplatSorter, AnOrderThatCannotGrowIsReportedOrDroppedQuietly) {
    // Index buffers of at most 8 entries.
    SplatSorter sorter(GPUDevice(64));
    std::atomic<int> completions = 0;
    sorter.setOnSortComplete([&](double) { ++completions; });
    EXPECT_THROW(sorter.addChunk(0, recordsAlongX(10)), GPUBufferBase::Error);
    EXPECT_EQ(sorter.snapshot().chunkCount, 1u);  // the list changed all the same
    EXPECT_FALSE(sorter.snapshot().sortLoopRunning);  // and no loop was started
    // The next frame's pass fails to grow its target and ends unpublished.
    sorter.setCameraPose(poseAt(1));
    tessaron::testing::waitUntil([&] {
        const auto state = sorter.snapshot();
        return !state.needsSort && !state.sortingBufferIndex;
    });
    const auto state = sorter.snapshot();
    EXPECT_FALSE(state.needsSort);
    EXPECT_FALSE(state.sortingBufferIndex.has_value());
    EXPECT_FALSE(state.mostRecentValidBufferIndex.has_value());
    EXPECT_EQ(completions, 0);
}

TEST(SplatSorter, FramesOfAnEmptySceneLeaveNoLoopPolling) {
    SplatSorter sorter(llvmpipeDevice());
    sorter.setCameraPose(poseAt(1));
    EXPECT_TRUE(loopEnds(sorter));
    // A chunk added later is sorted by a new loop.
    auto published = nextPublishedSort(sorter);
    sorter.addChunk(0, recordsAlongX(3));
    EXPECT_TRUE(isReady(published));
}
