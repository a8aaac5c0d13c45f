#include "SplatFormats/SHCoefficients.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace splatformats {

namespace {

[[noreturn]] void throwTooMany(std::size_t count) {
    throw std::length_error("A splat colour holds at most 16 spherical-harmonic triples, not " + std::to_string(count));
}

void checkCount(std::size_t count) {
    if (count > SHCoefficients::capacity) throwTooMany(count);
}

}  // namespace

SHCoefficients::SHCoefficients(std::initializer_list<Vector3> triples)
    : SHCoefficients(std::span<const Vector3>(triples.begin(), triples.size())) {}

SHCoefficients::SHCoefficients(std::span<const Vector3> triples) {
    checkCount(triples.size());
    std::copy(triples.begin(), triples.end(), triples_.begin());
    count_ = std::uint8_t(triples.size());
}

void SHCoefficients::resize(std::size_t count) {
    checkCount(count);
    for (std::size_t index = count_; index < count; ++index) triples_[index] = {0, 0, 0};
    count_ = std::uint8_t(count);
}

void SHCoefficients::throwFull() { throwTooMany(capacity + 1); }

bool SHCoefficients::operator==(const SHCoefficients& other) const {
    return std::equal(begin(), end(), other.begin(), other.end());
}

}  // namespace splatformats
