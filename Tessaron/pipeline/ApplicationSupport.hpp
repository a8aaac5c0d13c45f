#pragma once

#include <filesystem>
#include <optional>

namespace tessaron::pipeline {

// The application's support folder: "Tessaron" in $XDG_DATA_HOME when that
// is an absolute path, else in ~/.local/share. None when neither is known.
std::optional<std::filesystem::path> applicationSupportFolder();
// The same rule for given variable values (null: unset).
std::optional<std::filesystem::path> applicationSupportFolder(const char* xdgDataHome, const char* home);

// "Logs" in a support folder: the run logs and the run report.
std::filesystem::path logFolder(const std::filesystem::path& supportFolder);

}  // namespace tessaron::pipeline
