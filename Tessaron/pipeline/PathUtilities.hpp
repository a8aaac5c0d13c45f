#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tessaron::pipeline {

// "/a/images/" as "/a/images", so that its parent is "/a" and its name
// "images"; the root stays the root.
std::filesystem::path withoutTrailingSeparator(const std::filesystem::path& path);

// The first path for which an item exists (links followed).
std::optional<std::string> firstExistingPath(const std::vector<std::string>& candidates);

// Makes `link` a symbolic link to `destination`. An existing link to the
// same destination stays; a real file or folder there is left as it is (and
// used as it is). Throws core::FileError.
void symlinkReplacing(const std::filesystem::path& link, const std::filesystem::path& destination);

// The first non-empty folder among the images folder's sibling "masks" and
// the workspace's "masks".
std::optional<std::string> findMaskDirectory(const std::filesystem::path& imagesURL,
                                             const std::filesystem::path& workspaceURL);

}  // namespace tessaron::pipeline
