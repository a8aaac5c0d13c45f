#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tessaron::core {

// Where the application finds what ships beside it. The folder of the running
// executable is the bundle; its Resources/ subfolder holds resources and the
// bundled programs. The development candidate is the build tree's Resources/
// folder, so tests and tools find the bundled programs wherever they run.
class ResourceLocator {
public:
    static std::filesystem::path executablePath();
    static std::filesystem::path bundleDirectory();
    static std::filesystem::path bundleResourcesDirectory();
    static std::filesystem::path developmentResourcesDirectory();

    // The first existing file named `name` in the bundle's Resources/, then
    // in the development Resources/.
    static std::optional<std::filesystem::path> resource(const std::string& name);

    // The first executable named `name` among: bundle Resources/, development
    // Resources/, then each folder of PATH (when `searchPath`).
    static std::optional<std::filesystem::path> findExecutable(const std::string& name, bool searchPath);

    // The first executable named `name` in the folders of `searchPath`, a
    // colon-separated list like PATH (empty entries are skipped).
    static std::optional<std::filesystem::path> findInSearchPath(const std::string& name, const std::string& searchPath);

    static bool isExecutableFile(const std::filesystem::path& path);

    // The application's version and build texts; the build is the number the
    // build was configured with (TESSARON_BUILD_NUMBER).
    static std::string version();
    static std::string build();
};

}  // namespace tessaron::core
