#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "SplatRenderer/Half.hpp"

using splatrenderer::Half;
using splatrenderer::toFloat;
using splatrenderer::toHalf;

namespace {

bool isNaNHalf(std::uint16_t bits) { return (bits & 0x7C00) == 0x7C00 && (bits & 0x3FF) != 0; }

}  // namespace

TEST(Half, EveryHalfSurvivesTheRoundTrip) {
    for (std::uint32_t bits = 0; bits <= 0xFFFF; ++bits) {
        if (isNaNHalf(std::uint16_t(bits))) continue;
        EXPECT_EQ(toHalf(toFloat(Half{std::uint16_t(bits)})).bits, bits) << std::hex << bits;
    }
}

TEST(Half, HalfwayValuesRoundToTheEvenNeighbour) {
    // Between two neighbouring finite halves of one sign, the midpoint goes
    // to the one with an even mantissa, and a hair either side goes to the
    // nearer one. Covers subnormals, the step into normals and the top.
    for (std::uint32_t bits = 0; bits < 0x7BFF; ++bits) {
        for (std::uint32_t sign : {0u, 0x8000u}) {
            const auto lower = std::uint16_t(bits | sign), upper = std::uint16_t((bits + 1) | sign);
            const float a = toFloat(Half{lower}), b = toFloat(Half{upper});
            const float middle = (a + b) / 2;  // exact: halves have 11 significant bits
            const std::uint16_t even = (bits & 1) == 0 ? lower : upper;
            ASSERT_EQ(toHalf(middle).bits, even) << std::hex << bits;
            EXPECT_EQ(toHalf(std::nextafter(middle, a)).bits, lower) << std::hex << bits;
            EXPECT_EQ(toHalf(std::nextafter(middle, b)).bits, upper) << std::hex << bits;
        }
    }
}

TEST(Half, BeyondTheRangeGivesInfinityAndNaNStaysNaN) {
    EXPECT_EQ(toHalf(65504.0f).bits, 0x7BFF);
    EXPECT_EQ(toHalf(65519.996f).bits, 0x7BFF);
    EXPECT_EQ(toHalf(65520.0f).bits, 0x7C00);
    EXPECT_EQ(toHalf(-1e30f).bits, 0xFC00);
    EXPECT_EQ(toHalf(std::numeric_limits<float>::infinity()).bits, 0x7C00);
    EXPECT_TRUE(isNaNHalf(toHalf(std::numeric_limits<float>::quiet_NaN()).bits));
    EXPECT_TRUE(std::isnan(toFloat(toHalf(-std::numeric_limits<float>::quiet_NaN()))));
    // Below half the smallest subnormal everything is a signed zero.
    EXPECT_EQ(toHalf(std::ldexp(1.0f, -25)).bits, 0x0000);
    EXPECT_EQ(toHalf(std::nextafter(std::ldexp(1.0f, -25), 1.0f)).bits, 0x0001);
    EXPECT_EQ(toHalf(-std::numeric_limits<float>::denorm_min()).bits, 0x8000);
}
