#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace splatformats {

using Vector3 = std::array<float, 3>;

// The spherical-harmonic triples of one colour, held inline (no heap) so
// that a scene of a million points is one block of memory. Triple 0 is the
// DC term, then the higher-order terms in basis order; at most 16 (degree 3).
class SHCoefficients {
public:
    static constexpr std::size_t capacity = 16;

    SHCoefficients() = default;
    SHCoefficients(std::initializer_list<Vector3> triples);
    // Throws std::length_error for more than 16 triples.
    explicit SHCoefficients(std::span<const Vector3> triples);

    std::size_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }
    // Throws std::length_error beyond 16; new triples are zero.
    void resize(std::size_t count);
    // Throws std::length_error beyond 16.
    void push_back(const Vector3& triple) {
        if (count_ == capacity) throwFull();
        triples_[count_++] = triple;
    }

    const Vector3& operator[](std::size_t index) const noexcept { return triples_[index]; }
    Vector3& operator[](std::size_t index) noexcept { return triples_[index]; }
    std::span<const Vector3> triples() const noexcept { return {triples_.data(), count_}; }
    const Vector3* begin() const noexcept { return triples_.data(); }
    const Vector3* end() const noexcept { return triples_.data() + count_; }

    bool operator==(const SHCoefficients& other) const;

private:
    [[noreturn]] static void throwFull();

    std::array<Vector3, capacity> triples_{};
    std::uint8_t count_ = 0;
};

}  // namespace splatformats
