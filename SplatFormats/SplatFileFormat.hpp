#pragma once

#include <filesystem>
#include <optional>

namespace splatformats {

enum class SplatFileFormat { ply, dotSplat, spz };

// By the lower-cased extension alone ("ply", "splat", "spz"); the contents
// are never looked at.
std::optional<SplatFileFormat> splatFileFormat(const std::filesystem::path& path);

}  // namespace splatformats
