#include "SplatFormats/SplatPoint.hpp"

#include <cmath>

#include "core/NumberText.hpp"

namespace splatformats {

namespace {

using tessaron::core::shortestText;

float sigmoid(float x) { return 1.0f / (1.0f + std::exp(-x)); }

float logit(float p) { return std::log(p / (1.0f - p)); }

// NaN-safe clamp to [0, 1]: NaN gives 0.
float clampUnit(float value) { return value > 0 ? (value < 1 ? value : 1.0f) : 0.0f; }

float byteToSH(std::uint8_t byte) { return (float(byte) / 255.0f - 0.5f) * SplatPoint::Color::INV_SH_C0; }

std::string tripleText(float x, float y, float z) {
    return shortestText(x) + ", " + shortestText(y) + ", " + shortestText(z);
}

std::string tripleText(const Vector3& values) { return tripleText(values[0], values[1], values[2]); }

}  // namespace

std::uint8_t truncateToByte(float value) {
    if (!(value > 0)) return 0;
    if (value >= 255) return 255;
    return std::uint8_t(value);
}

// Colour

SHCoefficients SplatPoint::Color::asSphericalHarmonicFloat() const {
    if (kind_ == Kind::sphericalHarmonicFloat) return sh_;
    return SHCoefficients{{byteToSH(rgb_[0]), byteToSH(rgb_[1]), byteToSH(rgb_[2])}};
}

ByteTriple SplatPoint::Color::asSRGBUInt8() const {
    if (kind_ == Kind::sRGBUInt8) return rgb_;
    Vector3 unit = asSRGBFloat();
    return {truncateToByte(unit[0] * 255.0f), truncateToByte(unit[1] * 255.0f), truncateToByte(unit[2] * 255.0f)};
}

Vector3 SplatPoint::Color::asSRGBFloat() const {
    if (kind_ == Kind::sRGBUInt8) return {float(rgb_[0]) / 255.0f, float(rgb_[1]) / 255.0f, float(rgb_[2]) / 255.0f};
    Vector3 dc = sh0();
    return {clampUnit(dc[0] * SH_C0 + 0.5f), clampUnit(dc[1] * SH_C0 + 0.5f), clampUnit(dc[2] * SH_C0 + 0.5f)};
}

Vector3 SplatPoint::Color::sh0() const {
    if (kind_ == Kind::sRGBUInt8) return {byteToSH(rgb_[0]), byteToSH(rgb_[1]), byteToSH(rgb_[2])};
    // A colour without triples breaks the model's invariant; black-grey DC is harmless.
    return sh_.empty() ? Vector3{0, 0, 0} : sh_[0];
}

std::vector<float> SplatPoint::Color::higherOrderSHCoefficients() const {
    std::vector<float> values;
    if (kind_ == Kind::sRGBUInt8 || sh_.size() < 2) return values;
    values.reserve(3 * (sh_.size() - 1));
    for (std::size_t index = 1; index < sh_.size(); ++index) values.insert(values.end(), sh_[index].begin(), sh_[index].end());
    return values;
}

SHDegree SplatPoint::Color::shDegree() const {
    if (kind_ == Kind::sRGBUInt8) return SHDegree::sh0;
    return shDegreeFromCoefficientCount(int(sh_.size()));
}

std::string SplatPoint::Color::description() const {
    if (kind_ == Kind::sRGBUInt8)
        return "sRGB(" + std::to_string(rgb_[0]) + ", " + std::to_string(rgb_[1]) + ", " + std::to_string(rgb_[2]) + ")";
    switch (sh_.size()) {
        case 0: return "shFloat(nil)";
        case 1: return "shFloat(N=0; (" + tripleText(sh_[0]) + "))";
        case 4: return "shFloat(N=1; (" + tripleText(sh_[0]) + "), ...)";
        case 9: return "shFloat(N=2; (" + tripleText(sh_[0]) + "), ...)";
        case 16: return "shFloat(N=3; (" + tripleText(sh_[0]) + "), ...)";
        default: return "shFloat(N=?, " + std::to_string(sh_.size()) + " triples)";
    }
}

// Opacity

float SplatPoint::Opacity::asLinearFloat() const {
    switch (kind_) {
        case Kind::logitFloat: return sigmoid(value_);
        case Kind::linearFloat: return value_;
        case Kind::linearUInt8: break;
    }
    return float(byte_) / 255.0f;
}

float SplatPoint::Opacity::asLogitFloat() const {
    switch (kind_) {
        case Kind::logitFloat: return value_;
        case Kind::linearFloat: return logit(value_);
        case Kind::linearUInt8: break;
    }
    // The byte as the centre of its 1/256 bin, so that 0 and 255 stay finite.
    return logit((float(byte_) + 0.5f) * 0.00390625f);
}

std::uint8_t SplatPoint::Opacity::asLinearUInt8() const {
    if (kind_ == Kind::linearUInt8) return byte_;
    float linear = kind_ == Kind::linearFloat ? value_ : sigmoid(value_);
    return truncateToByte(linear * 256.0f);
}

std::string SplatPoint::Opacity::description() const {
    switch (kind_) {
        case Kind::logitFloat: return "logit(" + shortestText(value_) + ")";
        case Kind::linearFloat: return "linear(" + shortestText(value_) + ")";
        case Kind::linearUInt8: break;
    }
    return "linearByte(" + std::to_string(byte_) + ")";
}

// Scale

Vector3 SplatPoint::Scale::asLinearFloat() const {
    if (kind_ == Kind::linearFloat) return values_;
    return {std::exp(values_[0]), std::exp(values_[1]), std::exp(values_[2])};
}

Vector3 SplatPoint::Scale::asExponent() const {
    if (kind_ == Kind::exponent) return values_;
    return {std::log(values_[0]), std::log(values_[1]), std::log(values_[2])};
}

std::string SplatPoint::Scale::description() const {
    return (kind_ == Kind::exponent ? "exponent(" : "linear(") + tripleText(values_) + ")";
}

// Point

std::string SplatPoint::description() const {
    return "position:(" + tripleText(position) + ") color:" + color.description() + " opacity:" + opacity.description() +
           " scale:" + scale.description() + " rotation:(ix = " + shortestText(rotation.x) + ", iy = " +
           shortestText(rotation.y) + ", iz = " + shortestText(rotation.z) + ", r = " + shortestText(rotation.w) + ")";
}

}  // namespace splatformats
