#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "SplatRenderer/AccessState.hpp"
#include "support/WaitUntil.hpp"

using splatrenderer::AccessState;
using namespace std::chrono_literals;

namespace {

// Waits until `condition` holds.
template <typename Condition>
bool eventually(Condition condition) {
    return tessaron::testing::waitUntil(condition);
}

}  // namespace

TEST(AccessState, FramesTakeSlotsOneEncodingAtATime) {
    AccessState access(2);
    EXPECT_TRUE(access.isReadyToRender());
    ASSERT_TRUE(access.tryBeginFrame());
    EXPECT_FALSE(access.tryBeginFrame());  // still encoding
    EXPECT_FALSE(access.isReadyToRender());
    access.finishEncoding();
    ASSERT_TRUE(access.tryBeginFrame());
    access.finishEncoding();
    EXPECT_FALSE(access.tryBeginFrame());  // both slots in flight
    EXPECT_EQ(access.inFlightRenderCount(), 2);
    access.endFrameInFlight();
    EXPECT_TRUE(access.isReadyToRender());
    access.endFrameInFlight();
}

TEST(AccessState, AChunkOperationWaitsForTheFramesInFlightAndBlocksNewOnes) {
    AccessState access(3);
    ASSERT_TRUE(access.tryBeginFrame());
    access.finishEncoding();
    std::atomic<bool> ran = false;
    auto operation = std::async(std::launch::async, [&] { access.withExclusiveAccess([&] { ran = true; }); });
    ASSERT_TRUE(eventually([&] { return access.waiterCount() == 1; }));
    // Writers first: with a waiter, no new frame starts even with free slots.
    EXPECT_FALSE(access.isReadyToRender());
    EXPECT_FALSE(access.tryBeginFrame());
    EXPECT_FALSE(ran);
    access.endFrameInFlight();
    operation.get();
    EXPECT_TRUE(ran);
    EXPECT_FALSE(access.hasExclusiveAccess());
    EXPECT_TRUE(access.isReadyToRender());
}

TEST(AccessState, WaitersAreServedInTheOrderTheyCame) {
    AccessState access(1);
    ASSERT_TRUE(access.tryBeginFrame());
    access.finishEncoding();
    std::mutex orderMutex;
    std::vector<int> order;
    std::vector<std::future<void>> operations;
    for (int i = 0; i < 4; ++i) {
        operations.push_back(std::async(std::launch::async, [&, i] {
            access.withExclusiveAccess([&] {
                std::lock_guard lock(orderMutex);
                order.push_back(i);
            });
        }));
        ASSERT_TRUE(eventually([&] { return access.waiterCount() == std::size_t(i + 1); }));
    }
    access.endFrameInFlight();
    for (auto& operation : operations) operation.get();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
}

TEST(AccessState, NestedAccessRunsAtOnceAndErrorsReleaseIt) {
    AccessState access(1);
    const int result = access.withExclusiveAccess([&] { return access.withExclusiveAccess([] { return 42; }) + 1; });
    EXPECT_EQ(result, 43);
    EXPECT_THROW(access.withExclusiveAccess([]() -> int { throw std::runtime_error("body failed"); }),
                 std::runtime_error);
    EXPECT_FALSE(access.hasExclusiveAccess());
    EXPECT_TRUE(access.tryBeginFrame());
    access.finishEncoding();
    access.endFrameInFlight();
}

TEST(AccessState, AWaiterThatCanEndFramesDoesSoWhileItWaits) {
    // The render thread asking for access must end its own finished frames:
    // nobody else would, and it would wait for ever.
    AccessState access(2);
    ASSERT_TRUE(access.tryBeginFrame());
    access.finishEncoding();
    int calls = 0;
    access.withExclusiveAccess([] {}, [&] {
        if (++calls == 3) access.endFrameInFlight();
    });
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(access.inFlightRenderCount(), 0);
}
