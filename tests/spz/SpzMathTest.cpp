#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "spz/SpzMath.hpp"

TEST(SpzMath, HalfFloatsConvertBothWays) {
    EXPECT_EQ(spz::halfToFloat(0x3C00), 1.0f);
    EXPECT_EQ(spz::halfToFloat(0xC000), -2.0f);
    EXPECT_EQ(spz::halfToFloat(0x7BFF), 65504.0f);
    EXPECT_EQ(spz::halfToFloat(0x0001), std::ldexp(1.0f, -24));
    EXPECT_EQ(spz::halfToFloat(0x7C00), std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isnan(spz::halfToFloat(0x7E00)));
    EXPECT_EQ(spz::floatToHalf(1.0f), 0x3C00);
    EXPECT_EQ(spz::floatToHalf(-2.0f), 0xC000);
    EXPECT_EQ(spz::floatToHalf(65536.0f), 0x7C00);
    EXPECT_EQ(spz::floatToHalf(-std::numeric_limits<float>::quiet_NaN()), 0xFC01);
    EXPECT_EQ(spz::floatToHalf(std::ldexp(1.0f, -24)), 0x0001);
    EXPECT_EQ(spz::floatToHalf(std::ldexp(1.0f, -15)), 0x0200);
    EXPECT_EQ(spz::floatToHalf(1e-30f), 0x0000);
    // Truncation: the bits below the half's mantissa are dropped.
    EXPECT_EQ(spz::floatToHalf(1.0009765f), 0x3C00);
    for (std::uint16_t half : {0x0000, 0x0001, 0x03FF, 0x0400, 0x3555, 0x7BFF, 0x8001, 0xBC00})
        EXPECT_EQ(spz::floatToHalf(spz::halfToFloat(half)), half);
}

TEST(SpzMath, AQuarterTurnAboutZTakesXToY) {
    spz::Quat4f quarter = spz::axisAngleQuat({0, 0, float(M_PI / 2)});
    spz::Vec3f turned = spz::times(quarter, spz::Vec3f{1, 0, 0});
    EXPECT_NEAR(turned[0], 0, 1e-6);
    EXPECT_NEAR(turned[1], 1, 1e-6);
    spz::Quat4f half = spz::times(quarter, quarter);
    EXPECT_NEAR(half[2], 1, 1e-6);
    EXPECT_NEAR(half[3], 0, 1e-6);
    EXPECT_EQ(spz::axisAngleQuat({0, 0, 0}), (spz::Quat4f{0, 0, 0, 1}));
}
