#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace tessaron::core {

// Bytes that workers on several threads share: each reserves what its next
// piece of work will hold and waits while the others hold too much. A
// reservation larger than the whole budget waits until nothing else is held
// and then runs alone, so what is held at once never exceeds the larger of
// the budget and the largest single reservation.
class MemoryBudget {
public:
    explicit MemoryBudget(std::uint64_t totalBytes);
    MemoryBudget(const MemoryBudget&) = delete;
    MemoryBudget& operator=(const MemoryBudget&) = delete;

    // Held from construction until destruction.
    class Reservation {
    public:
        Reservation(Reservation&& other) noexcept;
        Reservation(const Reservation&) = delete;
        Reservation& operator=(const Reservation&) = delete;
        Reservation& operator=(Reservation&&) = delete;
        ~Reservation();

    private:
        friend class MemoryBudget;
        Reservation(MemoryBudget& budget, std::uint64_t bytes) : budget_(&budget), bytes_(bytes) {}
        MemoryBudget* budget_;
        std::uint64_t bytes_;
    };

    // Blocks until `bytes` (at most the whole budget) fit beside what is held.
    Reservation reserve(std::uint64_t bytes);

    std::uint64_t totalBytes() const noexcept { return total_; }
    // The most that was held at once so far.
    std::uint64_t peakBytes() const;

private:
    void release(std::uint64_t bytes);

    const std::uint64_t total_;
    mutable std::mutex mutex_;
    std::condition_variable freed_;
    std::uint64_t held_ = 0;
    std::uint64_t peak_ = 0;
};

}  // namespace tessaron::core
