#pragma once

#include <cstdint>

namespace tessaron::views {

// A small deterministic random source, so that a decorative picture comes
// out the same in every run: a 64-bit linear congruential state with
// Knuth's MMIX constants, each output passed through SplitMix64's mix.
class SeededGenerator {
public:
    static constexpr std::uint64_t initialState = 0x9E3779B9800B7C03ull;

    explicit SeededGenerator(std::uint64_t state = initialState) : state_(state) {}

    std::uint64_t next();
    // An unbiased integer in 0 ..< upperBound (Lemire's multiply-high with
    // rejection); upperBound must not be 0.
    std::uint64_t next(std::uint64_t upperBound);
    // A value in the closed range [low, high] on a 2^-53 grid.
    double uniform(double low, double high);

private:
    std::uint64_t state_;
};

}  // namespace tessaron::views
