#include "engines/SplatOutputFormat.hpp"

namespace tessaron::engines {

namespace {

struct FormatRow {
    std::string_view rawValue;
    std::string_view label;
    std::string_view fileExtension;
    std::optional<std::string_view> splatConverterName;
};

// One row per format, in case order.
constexpr std::array<FormatRow, 7> rows{{
    {"spz", ".spz (compressed)", ".spz", "spz"},
    {"splat", ".splat (dotSplat)", ".splat", "dotSplat"},
    {"plyAscii", ".ply (ASCII)", ".ascii.ply", "ply-ascii"},
    {"sog", ".sog (SuperSplat compressed)", ".sog", std::nullopt},
    {"compressedPly", ".compressed.ply", ".compressed.ply", std::nullopt},
    {"glb", ".glb", ".glb", std::nullopt},
    {"html", ".html (self-contained viewer)", ".html", std::nullopt},
}};

const FormatRow& rowOf(SplatOutputFormat format) { return rows[static_cast<std::size_t>(format)]; }

}  // namespace

std::string_view toString(SplatOutputFormat format) { return rowOf(format).rawValue; }

std::optional<SplatOutputFormat> splatOutputFormatFromString(std::string_view text) {
    for (SplatOutputFormat format : allSplatOutputFormats)
        if (rowOf(format).rawValue == text) return format;
    return std::nullopt;
}

std::string_view label(SplatOutputFormat format) { return rowOf(format).label; }

std::string_view fileExtension(SplatOutputFormat format) { return rowOf(format).fileExtension; }

// The first three cases go to our own converter.
SplatConverterBackend backend(SplatOutputFormat format) {
    return static_cast<std::size_t>(format) < 3 ? SplatConverterBackend::splatConverter
                                                 : SplatConverterBackend::splatTransform;
}

std::optional<std::string_view> splatConverterFormatName(SplatOutputFormat format) {
    return rowOf(format).splatConverterName;
}

}  // namespace tessaron::engines
