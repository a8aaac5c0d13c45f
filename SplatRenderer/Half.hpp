#pragma once

#include <cstdint>

namespace splatrenderer {

// An IEEE 754 half-precision value as the GPU records store it.
struct Half {
    std::uint16_t bits = 0;
    bool operator==(const Half&) const = default;
};

// Round to nearest, ties to even; magnitudes beyond the half range become
// infinities and NaN stays NaN.
Half toHalf(float value);
float toFloat(Half value);

}  // namespace splatrenderer
