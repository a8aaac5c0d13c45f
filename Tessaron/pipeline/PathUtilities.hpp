#pragma once

#include <filesystem>

namespace tessaron::pipeline {

// "/a/images/" as "/a/images", so that its parent is "/a" and its name
// "images"; the root stays the root.
std::filesystem::path withoutTrailingSeparator(const std::filesystem::path& path);

}  // namespace tessaron::pipeline
