#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <QThread>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "support/EventLoopWait.hpp"
#include "viewmodel/MainThreadExecutor.hpp"

namespace tessaron::testing {
namespace {

using viewmodel::MainThreadExecutor;

TEST(MainThreadExecutor, RunsWorkFromOtherThreadsOnTheMainThreadInOrder) {
    MainThreadExecutor guard;
    const core::Executor post = guard.executor();
    std::vector<int> order;
    std::atomic<int> offMainThread = 0;
    QThread* const mainThread = QThread::currentThread();
    std::thread worker([&] {
        for (int index = 0; index < 100; ++index)
            post([&, index] {
                if (QThread::currentThread() != mainThread) ++offMainThread;
                order.push_back(index);
            });
    });
    worker.join();
    EXPECT_TRUE(order.empty());  // posted, not run inline
    ASSERT_TRUE(QTest::qWaitFor([&] { return order.size() == size_t(100); }, 30000));
    for (int index = 0; index < 100; ++index) EXPECT_EQ(order[index], index);
    EXPECT_EQ(offMainThread, 0);
}

TEST(MainThreadExecutor, NothingRunsOnceTheGuardIsGoneEvenWhatWasQueued) {
    auto ran = std::make_shared<std::atomic<int>>(0);
    core::Executor post;
    {
        MainThreadExecutor guard;
        post = guard.executor();
        post([ran] { ++*ran; });  // queued while the guard lives
    }
    post([ran] { ++*ran; });  // posted after it is gone
    std::thread late([post, ran] { post([ran] { ++*ran; }); });
    late.join();
    ASSERT_TRUE(deliverEventsDueWithin());
    EXPECT_EQ(*ran, 0);
}

TEST(MainThreadExecutor, InvalidateStopsWorkAlreadyQueued) {
    MainThreadExecutor guard;
    int ran = 0;
    guard.executor()([&ran] { ++ran; });
    guard.invalidate();
    EXPECT_FALSE(guard.isValid());
    QCoreApplication::processEvents();
    EXPECT_EQ(ran, 0);
}

}  // namespace
}  // namespace tessaron::testing
