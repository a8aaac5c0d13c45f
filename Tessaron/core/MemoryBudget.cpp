#include "core/MemoryBudget.hpp"

#include <algorithm>

namespace tessaron::core {

MemoryBudget::MemoryBudget(std::uint64_t totalBytes) : total_(std::max<std::uint64_t>(totalBytes, 1)) {}

MemoryBudget::Reservation::Reservation(Reservation&& other) noexcept : budget_(other.budget_), bytes_(other.bytes_) {
    other.budget_ = nullptr;
}

MemoryBudget::Reservation::~Reservation() {
    if (budget_) budget_->release(bytes_);
}

MemoryBudget::Reservation MemoryBudget::reserve(std::uint64_t bytes) {
    // What is held is counted as at most the budget: a reservation beyond it
    // fills the budget and so runs alone.
    const std::uint64_t counted = std::min(bytes, total_);
    std::unique_lock lock(mutex_);
    freed_.wait(lock, [&] { return held_ + counted <= total_; });
    held_ += counted;
    peak_ = std::max(peak_, held_);
    return Reservation(*this, counted);
}

std::uint64_t MemoryBudget::peakBytes() const {
    std::lock_guard lock(mutex_);
    return peak_;
}

void MemoryBudget::release(std::uint64_t bytes) {
    {
        std::lock_guard lock(mutex_);
        held_ -= bytes;
    }
    freed_.notify_all();
}

}  // namespace tessaron::core
