#pragma once

#include <cstdint>
#include <optional>

namespace splatformats {

// Spherical-harmonic degree; ordered by its raw value.
enum class SHDegree : std::uint8_t { sh0 = 0, sh1 = 1, sh2 = 2, sh3 = 3 };

// Nothing for raw values above 3.
std::optional<SHDegree> shDegreeFromRawValue(std::uint8_t rawValue);

// (degree + 1)^2: 1, 4, 9, 16 coefficients per channel, DC included.
int coefficientCount(SHDegree degree);
int coefficientsPerChannel(SHDegree degree);
// (degree + 1)^2 - 1: 0, 3, 8, 15.
int extraCoefficientCount(SHDegree degree);

// The degree of a colour with `count` triples: below 2 sh0, 2-4 sh1, 5-9
// sh2, 10 and more sh3 (a partial set counts as the degree it exceeds).
SHDegree shDegreeFromCoefficientCount(int count);

}  // namespace splatformats
