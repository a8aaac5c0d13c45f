#pragma once

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "RendererTestSupport.hpp"
#include "SplatRenderer/SplatChunk.hpp"
#include "SplatRenderer/SplatSorter.hpp"

namespace splatrenderer::testing {

// Holds every sort pass at its start until opened; counts the passes.
class PassGate {
public:
    void install(SplatSorter& sorter) {
        sorter.setOnSortStart([this] {
            std::unique_lock lock(mutex_);
            ++started_;
            changed_.notify_all();
            changed_.wait(lock, [this] { return open_; });
        });
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool waitForStarted(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return started_ >= count; });
    }
    int started() {
        std::lock_guard lock(mutex_);
        return started_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    int started_ = 0;
};

// A future that becomes ready after the sorter's next published pass.
inline std::future<void> nextPublishedSort(SplatSorter& sorter) {
    auto promise = std::make_shared<std::promise<void>>();
    auto future = promise->get_future();
    sorter.afterNextSort([promise] { promise->set_value(); });
    return future;
}

inline bool isReady(std::future<void>& future, std::chrono::milliseconds wait = std::chrono::seconds(10)) {
    return future.wait_for(wait) == std::future_status::ready;
}

// `count` records along the x axis at x = first, first + 1, ...
inline std::shared_ptr<const GPUBuffer<EncodedSplatPoint>> recordsAlongX(std::size_t count, float first = 0) {
    std::vector<SplatPoint> points;
    for (std::size_t i = 0; i < count; ++i) points.push_back(roundSplat({first + float(i), 0, 0}, 1, {0, 0, 0}));
    return SplatChunk(llvmpipeDevice(), points).splats;
}

}  // namespace splatrenderer::testing
