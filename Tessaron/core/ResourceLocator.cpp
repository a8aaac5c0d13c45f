#include "core/ResourceLocator.hpp"

#include <cstdlib>
#include <sstream>
#include <unistd.h>

#ifndef TESSARON_DEV_RESOURCES_DIR
#define TESSARON_DEV_RESOURCES_DIR ""
#endif
#ifndef TESSARON_VERSION
#define TESSARON_VERSION "0.0.0"
#endif
#ifndef TESSARON_BUILD
#define TESSARON_BUILD "0"
#endif

namespace tessaron::core {

namespace fs = std::filesystem;

fs::path ResourceLocator::executablePath() {
    std::error_code error;
    fs::path path = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : path;
}

fs::path ResourceLocator::bundleDirectory() { return executablePath().parent_path(); }

fs::path ResourceLocator::bundleResourcesDirectory() { return bundleDirectory() / "Resources"; }

fs::path ResourceLocator::developmentResourcesDirectory() { return fs::path(TESSARON_DEV_RESOURCES_DIR); }

std::optional<fs::path> ResourceLocator::resource(const std::string& name) {
    for (const fs::path& folder : {bundleResourcesDirectory(), developmentResourcesDirectory()}) {
        if (folder.empty()) continue;
        std::error_code error;
        fs::path candidate = folder / name;
        if (fs::exists(candidate, error)) return candidate;
    }
    return std::nullopt;
}

bool ResourceLocator::isExecutableFile(const fs::path& path) {
    std::error_code error;
    return fs::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<fs::path> ResourceLocator::findExecutable(const std::string& name, bool searchPath) {
    for (const fs::path& folder : {bundleResourcesDirectory(), developmentResourcesDirectory()}) {
        if (!folder.empty() && isExecutableFile(folder / name)) return folder / name;
    }
    if (!searchPath) return std::nullopt;
    const char* pathVariable = std::getenv("PATH");
    if (pathVariable == nullptr) return std::nullopt;
    return findInSearchPath(name, pathVariable);
}

std::optional<fs::path> ResourceLocator::findInSearchPath(const std::string& name, const std::string& searchPath) {
    std::stringstream folders(searchPath);
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (folder.empty()) continue;
        if (isExecutableFile(fs::path(folder) / name)) return fs::path(folder) / name;
    }
    return std::nullopt;
}

std::string ResourceLocator::version() { return TESSARON_VERSION; }

std::string ResourceLocator::build() { return TESSARON_BUILD; }

}  // namespace tessaron::core
