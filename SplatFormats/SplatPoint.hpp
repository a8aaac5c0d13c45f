#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "SplatFormats/SHCoefficients.hpp"
#include "SplatFormats/SHDegree.hpp"

namespace splatformats {

using ByteTriple = std::array<std::uint8_t, 3>;

// Imaginary x, y, z, then the real part w; not normalised by the model.
struct Quaternion {
    float x = 0;
    float y = 0;
    float z = 0;
    float w = 1;
    bool operator==(const Quaternion&) const = default;
};

// One Gaussian as every reader produces and every writer consumes it. Each
// attribute keeps the encoding its file had; consumers ask for the encoding
// they need through the conversions. All arithmetic is single precision, and
// every float-to-byte conversion clamps (NaN gives 0).
struct SplatPoint {
    class Color {
    public:
        enum class Kind : std::uint8_t { sphericalHarmonicFloat, sRGBUInt8 };

        // The degree-0 basis constant and its reciprocal, as literals.
        static constexpr float SH_C0 = 0.2820948f;
        static constexpr float INV_SH_C0 = 3.5449076f;

        static Color sphericalHarmonicFloat(const SHCoefficients& triples) {
            Color color;
            color.kind_ = Kind::sphericalHarmonicFloat;
            color.sh_ = triples;
            return color;
        }
        static Color sRGBUInt8(ByteTriple rgb) {
            Color color;
            color.kind_ = Kind::sRGBUInt8;
            color.rgb_ = rgb;
            return color;
        }

        Kind kind() const noexcept { return kind_; }
        // The payloads: triples of a harmonic colour (empty otherwise) and the
        // bytes of an 8-bit colour (zero otherwise).
        const SHCoefficients& sphericalHarmonics() const noexcept { return sh_; }
        // The harmonic triples for a decoder to overwrite in place (empty for
        // an 8-bit colour): a scene's readers fill millions of points, and
        // building the triples aside would copy each one twice more.
        std::span<Vector3> sphericalHarmonicsInPlace() noexcept { return {&sh_[0], sh_.size()}; }
        ByteTriple sRGB() const noexcept { return rgb_; }

        SHCoefficients asSphericalHarmonicFloat() const;
        ByteTriple asSRGBUInt8() const;
        Vector3 asSRGBFloat() const;
        // The DC coefficient (not the degree SHDegree::sh0).
        Vector3 sh0() const;
        // Triples 1 onward, channels of one coefficient adjacent.
        std::vector<float> higherOrderSHCoefficients() const;
        SHDegree shDegree() const;

        std::string description() const;
        bool operator==(const Color&) const = default;

    private:
        Color() = default;
        Kind kind_ = Kind::sRGBUInt8;
        ByteTriple rgb_{};
        SHCoefficients sh_;
    };

    class Opacity {
    public:
        enum class Kind : std::uint8_t { logitFloat, linearFloat, linearUInt8 };

        static Opacity logitFloat(float value) { return Opacity(Kind::logitFloat, value, 0); }
        static Opacity linearFloat(float value) { return Opacity(Kind::linearFloat, value, 0); }
        static Opacity linearUInt8(std::uint8_t value) { return Opacity(Kind::linearUInt8, 0, value); }

        Kind kind() const noexcept { return kind_; }
        float floatValue() const noexcept { return value_; }  // the float payloads
        std::uint8_t byteValue() const noexcept { return byte_; }

        float asLinearFloat() const;
        // Not clamped: linear 0 and 1 give minus and plus infinity.
        float asLogitFloat() const;
        // p × 256, clamped: 0.5 gives 128 and 1.0 gives 255.
        std::uint8_t asLinearUInt8() const;

        std::string description() const;
        bool operator==(const Opacity&) const = default;

    private:
        Opacity(Kind kind, float value, std::uint8_t byte) : kind_(kind), byte_(byte), value_(value) {}
        Kind kind_ = Kind::linearUInt8;
        std::uint8_t byte_ = 0;
        float value_ = 0;
    };

    class Scale {
    public:
        enum class Kind : std::uint8_t { exponent, linearFloat };

        static Scale exponent(Vector3 logScale) { return Scale(Kind::exponent, logScale); }
        static Scale linearFloat(Vector3 scale) { return Scale(Kind::linearFloat, scale); }

        Kind kind() const noexcept { return kind_; }
        const Vector3& values() const noexcept { return values_; }

        Vector3 asLinearFloat() const;
        Vector3 asExponent() const;

        std::string description() const;
        bool operator==(const Scale&) const = default;

    private:
        Scale(Kind kind, Vector3 values) : kind_(kind), values_(values) {}
        Kind kind_ = Kind::exponent;
        Vector3 values_{};
    };

    SplatPoint(Vector3 position, Color color, Opacity opacity, Scale scale, Quaternion rotation)
        : position(position), color(color), opacity(opacity), scale(scale), rotation(rotation) {}

    Vector3 position;
    Color color;
    Opacity opacity;
    Scale scale;
    Quaternion rotation;

    std::string description() const;
    bool operator==(const SplatPoint&) const = default;
};

// A float to a byte by truncation toward zero, clamped to 0..255; NaN gives 0.
std::uint8_t truncateToByte(float value);

}  // namespace splatformats
