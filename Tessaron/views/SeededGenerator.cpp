#include "views/SeededGenerator.hpp"

namespace tessaron::views {

namespace {
using Wide = unsigned __int128;
}  // namespace

std::uint64_t SeededGenerator::next() {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    std::uint64_t mixed = state_;
    mixed = (mixed ^ (mixed >> 30)) * 0xBF58476D1CE4E5B9ull;
    mixed = (mixed ^ (mixed >> 27)) * 0x94D049BB133111EBull;
    return mixed ^ (mixed >> 31);
}

std::uint64_t SeededGenerator::next(std::uint64_t upperBound) {
    auto multiply = [upperBound](std::uint64_t value) { return Wide(value) * upperBound; };
    Wide product = multiply(next());
    if (std::uint64_t(product) < upperBound) {
        const std::uint64_t threshold = (0 - upperBound) % upperBound;
        while (std::uint64_t(product) < threshold) product = multiply(next());
    }
    return std::uint64_t(product >> 64);
}

double SeededGenerator::uniform(double low, double high) {
    constexpr std::uint64_t steps = std::uint64_t(1) << 53;
    const std::uint64_t drawn = next(steps + 1);
    if (drawn == steps) return high;
    return double(drawn) * 0x1p-53 * (high - low) + low;
}

}  // namespace tessaron::views
