// The shared byte budget under many threads: what is held at once never
// exceeds the budget, and a reservation larger than the budget runs alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "core/MemoryBudget.hpp"

using tessaron::core::MemoryBudget;

namespace {

// Counts what the holders hold, independently of the budget's own count.
class Holders {
public:
    void enter(std::uint64_t bytes, bool alone) {
        std::lock_guard lock(mutex_);
        held_ += bytes;
        ++count_;
        peak_ = std::max(peak_, held_);
        if (alone && count_ > 1) aloneBroken_ = true;
        if (aloneHeld_) aloneBroken_ = true;
        if (alone) aloneHeld_ = true;
    }
    void leave(std::uint64_t bytes, bool alone) {
        std::lock_guard lock(mutex_);
        held_ -= bytes;
        --count_;
        if (alone) aloneHeld_ = false;
    }
    std::uint64_t peak() const { return peak_; }
    bool aloneBroken() const { return aloneBroken_; }

private:
    std::mutex mutex_;
    std::uint64_t held_ = 0, peak_ = 0;
    int count_ = 0;
    bool aloneHeld_ = false, aloneBroken_ = false;
};

}  // namespace

TEST(MemoryBudget, ThreadsNeverHoldMoreThanTheBudgetAndOversizedWorkRunsAlone) {
    constexpr std::uint64_t budget = 1000;
    MemoryBudget shared(budget);
    Holders holders;
    std::vector<std::thread> threads;
    for (unsigned seed = 0; seed < 8; ++seed) {
        threads.emplace_back([&, seed] {
            std::mt19937 random(seed);
            std::uniform_int_distribution<std::uint64_t> size(1, 700);
            for (int round = 0; round < 300; ++round) {
                // One in twenty asks for more than the whole budget.
                const bool oversized = round % 20 == int(seed);
                const std::uint64_t bytes = oversized ? 5 * budget : size(random);
                const MemoryBudget::Reservation held = shared.reserve(bytes);
                const std::uint64_t counted = std::min(bytes, budget);
                holders.enter(counted, oversized);
                std::this_thread::yield();
                holders.leave(counted, oversized);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_LE(holders.peak(), budget);
    EXPECT_FALSE(holders.aloneBroken()) << "an oversized reservation ran beside another";
    EXPECT_EQ(shared.peakBytes(), budget);  // the oversized ones filled it
    // Everything was given back: the whole budget can be held again at once.
    const MemoryBudget::Reservation all = shared.reserve(budget);
}
