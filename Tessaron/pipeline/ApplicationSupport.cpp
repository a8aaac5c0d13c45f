#include "pipeline/ApplicationSupport.hpp"

#include <cstdlib>
#include <string_view>

namespace tessaron::pipeline {

std::optional<std::filesystem::path> applicationSupportFolder() {
    return applicationSupportFolder(std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
}

std::optional<std::filesystem::path> applicationSupportFolder(const char* xdgDataHome, const char* home) {
    // XDG ignores a relative XDG_DATA_HOME.
    if (xdgDataHome && std::filesystem::path(xdgDataHome).is_absolute()) return std::filesystem::path(xdgDataHome) / "Tessaron";
    if (home && !std::string_view(home).empty()) return std::filesystem::path(home) / ".local" / "share" / "Tessaron";
    return std::nullopt;
}

std::filesystem::path logFolder(const std::filesystem::path& supportFolder) { return supportFolder / "Logs"; }

}  // namespace tessaron::pipeline
