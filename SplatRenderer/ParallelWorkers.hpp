#pragma once

#include <cstdint>
#include <functional>
#include <utility>

#include "core/ThreadPool.hpp"

namespace splatrenderer {

// A team of members that runs one job on every member: job(member) for each
// member, on the threads of a pool of as many (the caller's thread among
// them). Members are slices of work, not threads: a member's job may run on
// any of the pool's threads, and one thread may run several, so jobs must
// not wait for each other. One job at a time.
class ParallelWorkers {
public:
    // `memberCount` members in all, at least 1 (then the caller works alone).
    explicit ParallelWorkers(int memberCount);

    int memberCount() const noexcept { return int(pool_.size()); }

    // Calls job(member) for every member and returns when all have
    // returned. The job must not throw.
    void run(const std::function<void(int member)>& job);

    // The members a machine of this many CPUs should use, 1 to 8.
    static int defaultMemberCount();

    // [begin, end) of `count` items for one member, in member order.
    static std::pair<std::int64_t, std::int64_t> share(std::int64_t count, int member, int memberCount);

private:
    tessaron::core::ThreadPool pool_;
};

}  // namespace splatrenderer
