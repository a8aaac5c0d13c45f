#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "SplatFormats/SHDegree.hpp"
#include "SplatFormats/SplatPoint.hpp"

using splatformats::ByteTriple;
using splatformats::SHCoefficients;
using splatformats::SHDegree;
using splatformats::SplatPoint;
using Color = SplatPoint::Color;
using Opacity = SplatPoint::Opacity;
using Scale = SplatPoint::Scale;

namespace {

SHCoefficients triples(std::size_t count, float value = 0) {
    SHCoefficients result;
    for (std::size_t i = 0; i < count; ++i) result.push_back({value + float(i), value, -value});
    return result;
}

const float notANumber = std::numeric_limits<float>::quiet_NaN();

}  // namespace

TEST(SplatPoint, EightBitColourBecomesOneHarmonicTriple) {
    SHCoefficients sh = Color::sRGBUInt8({255, 0, 128}).asSphericalHarmonicFloat();
    ASSERT_EQ(sh.size(), 1u);
    EXPECT_NEAR(sh[0][0], 1.7724538f, 1e-6);
    EXPECT_NEAR(sh[0][1], -1.7724538f, 1e-6);
    EXPECT_NEAR(sh[0][2], 0.0069509f, 1e-6);
    EXPECT_EQ(Color::sRGBUInt8({255, 0, 128}).sh0(), sh[0]);
}

TEST(SplatPoint, HarmonicColourTruncatesToBytes) {
    EXPECT_EQ(Color::sphericalHarmonicFloat(triples(1)).asSRGBUInt8(), (ByteTriple{127, 127, 127}));
    // v = 1.0 gives 255, v slightly below gives 254.
    float one = 0.5f / Color::SH_C0;
    float almost = (0.999f - 0.5f) / Color::SH_C0;
    EXPECT_EQ(Color::sphericalHarmonicFloat({{one, almost, -100}}).asSRGBUInt8(), (ByteTriple{255, 254, 0}));
    EXPECT_EQ(Color::sphericalHarmonicFloat({{notANumber, 1e30f, -1e30f}}).asSRGBUInt8(), (ByteTriple{0, 255, 0}));
    auto unit = Color::sphericalHarmonicFloat({{notANumber, 100, 0}}).asSRGBFloat();
    EXPECT_EQ(unit[0], 0.0f);
    EXPECT_EQ(unit[1], 1.0f);
    EXPECT_FLOAT_EQ(unit[2], 0.5f);
    EXPECT_EQ(Color::sRGBUInt8({255, 0, 51}).asSRGBFloat(), (splatformats::Vector3{1.0f, 0.0f, 0.2f}));
}

TEST(SplatPoint, DegreesAndHigherOrderCoefficientsFollowTheTripleCount) {
    EXPECT_EQ(Color::sRGBUInt8({1, 2, 3}).shDegree(), SHDegree::sh0);
    EXPECT_TRUE(Color::sRGBUInt8({1, 2, 3}).higherOrderSHCoefficients().empty());
    std::pair<std::size_t, SHDegree> expected[] = {{0, SHDegree::sh0}, {1, SHDegree::sh0}, {2, SHDegree::sh1},
                                                   {4, SHDegree::sh1}, {5, SHDegree::sh2}, {6, SHDegree::sh2},
                                                   {9, SHDegree::sh2}, {10, SHDegree::sh3}, {16, SHDegree::sh3}};
    for (auto [count, degree] : expected) EXPECT_EQ(Color::sphericalHarmonicFloat(triples(count)).shDegree(), degree) << count;
    auto rest = Color::sphericalHarmonicFloat(triples(16, 1)).higherOrderSHCoefficients();
    ASSERT_EQ(rest.size(), 45u);
    EXPECT_EQ(rest[0], 2.0f);  // triple 1: x = 1 + 1
    EXPECT_EQ(rest[1], 1.0f);
    EXPECT_EQ(rest[2], -1.0f);
    EXPECT_EQ(rest[44], -1.0f);
    // A colour without triples still answers.
    EXPECT_EQ(Color::sphericalHarmonicFloat({}).sh0(), (splatformats::Vector3{0, 0, 0}));
    EXPECT_EQ(Color::sphericalHarmonicFloat({}).asSRGBUInt8(), (ByteTriple{127, 127, 127}));
}

TEST(SplatPoint, ColourHoldsAtMostSixteenTriplesInline) {
    EXPECT_THROW(triples(17), std::length_error);
    SHCoefficients full = triples(16);
    EXPECT_THROW(full.push_back({0, 0, 0}), std::length_error);
    full.resize(2);
    full.resize(3);
    EXPECT_EQ(full[2], (splatformats::Vector3{0, 0, 0}));
}

TEST(SplatPoint, OpacityConversionsUseTheirOwnByteScales) {
    EXPECT_EQ(Opacity::linearUInt8(255).asLinearFloat(), 1.0f);
    EXPECT_NEAR(Opacity::linearUInt8(255).asLogitFloat(), std::log(0.998046875f / 0.001953125f), 1e-5);
    EXPECT_NEAR(Opacity::linearUInt8(255).asLogitFloat(), 6.2364f, 1e-4);
    EXPECT_NEAR(Opacity::linearUInt8(0).asLogitFloat(), -6.2364f, 1e-4);
    EXPECT_EQ(Opacity::logitFloat(0).asLinearUInt8(), 128);
    EXPECT_EQ(Opacity::linearFloat(2.0f).asLinearUInt8(), 255);
    EXPECT_EQ(Opacity::linearFloat(-1).asLinearUInt8(), 0);
    EXPECT_EQ(Opacity::linearFloat(notANumber).asLinearUInt8(), 0);
    EXPECT_EQ(Opacity::linearFloat(0).asLogitFloat(), -std::numeric_limits<float>::infinity());
    EXPECT_EQ(Opacity::linearFloat(1).asLogitFloat(), std::numeric_limits<float>::infinity());
    EXPECT_FLOAT_EQ(Opacity::logitFloat(0).asLinearFloat(), 0.5f);
    EXPECT_EQ(Opacity::linearUInt8(7).asLinearUInt8(), 7);
}

TEST(SplatPoint, DescriptionsPrintShortestFloats) {
    SplatPoint point({0, 0, 0}, Color::sRGBUInt8({1, 2, 3}), Opacity::linearUInt8(7), Scale::exponent({0, 0, 0}),
                     {0, 0, 0, 1});
    EXPECT_EQ(point.description(),
              "position:(0.0, 0.0, 0.0) color:sRGB(1, 2, 3) opacity:linearByte(7) scale:exponent(0.0, 0.0, 0.0) "
              "rotation:(ix = 0.0, iy = 0.0, iz = 0.0, r = 1.0)");
    EXPECT_EQ(Color::sphericalHarmonicFloat({}).description(), "shFloat(nil)");
    EXPECT_EQ(Color::sphericalHarmonicFloat({{0.5f, -0.25f, 1}}).description(), "shFloat(N=0; (0.5, -0.25, 1.0))");
    EXPECT_EQ(Color::sphericalHarmonicFloat(triples(4, 0.5f)).description(), "shFloat(N=1; (0.5, 0.5, -0.5), ...)");
    EXPECT_EQ(Color::sphericalHarmonicFloat(triples(9)).description(), "shFloat(N=2; (0.0, 0.0, -0.0), ...)");
    EXPECT_EQ(Color::sphericalHarmonicFloat(triples(16)).description(), "shFloat(N=3; (0.0, 0.0, -0.0), ...)");
    EXPECT_EQ(Color::sphericalHarmonicFloat(triples(6)).description(), "shFloat(N=?, 6 triples)");
    EXPECT_EQ(Opacity::logitFloat(-0.25f).description(), "logit(-0.25)");
    EXPECT_EQ(Opacity::linearFloat(0.1f).description(), "linear(0.1)");
    EXPECT_EQ(Scale::linearFloat({1, 2.5f, 3}).description(), "linear(1.0, 2.5, 3.0)");
}
