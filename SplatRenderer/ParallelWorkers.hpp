#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace splatrenderer {

// A fixed team of threads that runs one job on every member at once: the
// caller is member 0, the team's own threads the others. Threads live as
// long as the team and are joined by its destructor. One job at a time.
class ParallelWorkers {
public:
    // `memberCount` members in all, at least 1 (then the caller works alone).
    explicit ParallelWorkers(int memberCount);
    ~ParallelWorkers();
    ParallelWorkers(const ParallelWorkers&) = delete;
    ParallelWorkers& operator=(const ParallelWorkers&) = delete;

    int memberCount() const noexcept { return int(threads_.size()) + 1; }

    // Calls job(member) for every member and returns when all have
    // returned. The job must not throw.
    void run(const std::function<void(int member)>& job);

    // The members a machine of this many cores should use, 1 to 8.
    static int defaultMemberCount();

    // [begin, end) of `count` items for one member, in member order.
    static std::pair<std::int64_t, std::int64_t> share(std::int64_t count, int member, int memberCount);

private:
    void work(std::stop_token stop, int member);

    std::mutex mutex_;  // guards job_, generation_, pending_
    std::condition_variable_any wake_;
    std::condition_variable done_;
    const std::function<void(int)>* job_ = nullptr;
    std::uint64_t generation_ = 0;
    int pending_ = 0;
    std::vector<std::jthread> threads_;
};

}  // namespace splatrenderer
