#include "SplatFormats/SplatFileFormat.hpp"

#include <algorithm>
#include <string>

namespace splatformats {

std::optional<SplatFileFormat> splatFileFormat(const std::filesystem::path& path) {
    std::string extension = path.filename().extension().string();
    if (extension.empty()) return std::nullopt;
    extension.erase(0, 1);  // the dot
    // ASCII lower-casing: the three extensions are ASCII.
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    if (extension == "ply") return SplatFileFormat::ply;
    if (extension == "splat") return SplatFileFormat::dotSplat;
    if (extension == "spz") return SplatFileFormat::spz;
    return std::nullopt;
}

}  // namespace splatformats
