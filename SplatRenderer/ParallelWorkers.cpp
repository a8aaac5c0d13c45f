#include "SplatRenderer/ParallelWorkers.hpp"

#include <algorithm>

namespace splatrenderer {

ParallelWorkers::ParallelWorkers(int memberCount) {
    for (int member = 1; member < memberCount; ++member)
        threads_.emplace_back([this, member](std::stop_token stop) { work(stop, member); });
}

ParallelWorkers::~ParallelWorkers() {
    for (auto& thread : threads_) thread.request_stop();
    wake_.notify_all();
    threads_.clear();  // joins
}

void ParallelWorkers::run(const std::function<void(int)>& job) {
    if (threads_.empty()) {
        job(0);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        job_ = &job;
        pending_ = int(threads_.size());
        ++generation_;
    }
    wake_.notify_all();
    job(0);
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return pending_ == 0; });
    job_ = nullptr;
}

void ParallelWorkers::work(std::stop_token stop, int member) {
    std::uint64_t seen = 0;
    while (true) {
        const std::function<void(int)>* job = nullptr;
        {
            std::unique_lock lock(mutex_);
            if (!wake_.wait(lock, stop, [&] { return generation_ != seen; })) return;
            seen = generation_;
            job = job_;
        }
        (*job)(member);
        bool last = false;
        {
            std::lock_guard lock(mutex_);
            last = --pending_ == 0;
        }
        if (last) done_.notify_one();
    }
}

int ParallelWorkers::defaultMemberCount() {
    return std::clamp(int(std::thread::hardware_concurrency()), 1, 8);
}

std::pair<std::int64_t, std::int64_t> ParallelWorkers::share(std::int64_t count, int member, int memberCount) {
    return {count * member / memberCount, count * (member + 1) / memberCount};
}

}  // namespace splatrenderer
