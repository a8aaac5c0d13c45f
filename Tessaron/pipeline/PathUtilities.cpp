#include "pipeline/PathUtilities.hpp"

#include <system_error>

#include "core/FileError.hpp"

namespace tessaron::pipeline {

namespace fs = std::filesystem;

fs::path withoutTrailingSeparator(const fs::path& path) {
    std::string text = path.string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

std::optional<std::string> firstExistingPath(const std::vector<std::string>& candidates) {
    for (const std::string& candidate : candidates) {
        std::error_code error;
        if (fs::exists(candidate, error)) return candidate;
    }
    return std::nullopt;
}

void symlinkReplacing(const fs::path& link, const fs::path& destination) {
    std::error_code error;
    fs::file_status status = fs::symlink_status(link, error);
    if (!error && fs::exists(status)) {
        // A real folder or file (from an earlier run, or the user's) is used
        // as it is.
        if (!fs::is_symlink(status)) return;
        fs::path current = fs::read_symlink(link, error);
        if (!error && current.string() == destination.string()) return;
        if (!fs::remove(link, error) && error) throw core::FileError("remove", link, error);
    }
    fs::create_symlink(destination, link, error);
    if (error) throw core::FileError("create symbolic link", link, error);
}

std::optional<std::string> findMaskDirectory(const fs::path& imagesURL, const fs::path& workspaceURL) {
    for (const fs::path& candidate : {withoutTrailingSeparator(imagesURL).parent_path() / "masks", workspaceURL / "masks"}) {
        std::error_code error;
        if (!fs::is_directory(candidate, error)) continue;
        fs::directory_iterator entries(candidate, error);
        // A listing that fails counts as empty.
        if (!error && entries != fs::directory_iterator()) return candidate.string();
    }
    return std::nullopt;
}

}  // namespace tessaron::pipeline
