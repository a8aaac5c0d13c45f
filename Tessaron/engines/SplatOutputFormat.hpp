#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tessaron::engines {

// The formats the converter writes, in the order the format picker lists
// them. The first three are written by our own SplatConverter program, the
// others by the splat-transform tool.
enum class SplatOutputFormat { spz, splat, plyAscii, sog, compressedPly, glb, html };

enum class SplatConverterBackend { splatConverter, splatTransform };

inline constexpr std::array<SplatOutputFormat, 7> allSplatOutputFormats{
    SplatOutputFormat::spz, SplatOutputFormat::splat,         SplatOutputFormat::plyAscii, SplatOutputFormat::sog,
    SplatOutputFormat::compressedPly, SplatOutputFormat::glb, SplatOutputFormat::html};

// The raw value ("spz", "compressedPly", ...).
std::string_view toString(SplatOutputFormat format);
// Exactly the seven raw values, case-sensitive; anything else is absent.
std::optional<SplatOutputFormat> splatOutputFormatFromString(std::string_view text);

// What the picker shows (".spz (compressed)").
std::string_view label(SplatOutputFormat format);
// What is appended to the output's base name (".ascii.ply").
std::string_view fileExtension(SplatOutputFormat format);
SplatConverterBackend backend(SplatOutputFormat format);
// The "-f" value SplatConverter takes; absent for the splat-transform formats.
std::optional<std::string_view> splatConverterFormatName(SplatOutputFormat format);

}  // namespace tessaron::engines

template <>
struct std::hash<tessaron::engines::SplatOutputFormat> {
    std::size_t operator()(tessaron::engines::SplatOutputFormat format) const noexcept {
        return std::hash<std::string_view>{}(tessaron::engines::toString(format));
    }
};
