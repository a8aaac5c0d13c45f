#include "pipeline/PhotoFolderCheck.hpp"

#include <algorithm>
#include <system_error>

#include "engines/DatasetProfile.hpp"

namespace tessaron::pipeline {

namespace fs = std::filesystem;

namespace {

bool isInside(const fs::path& candidate, const fs::path& folder) {
    std::error_code ignored;
    const fs::path inner = fs::weakly_canonical(fs::absolute(candidate), ignored);
    const fs::path outer = fs::weakly_canonical(fs::absolute(folder), ignored);
    auto [outerEnd, innerAt] = std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end());
    // A trailing separator of `outer` leaves one empty component.
    return outerEnd == outer.end() || (std::next(outerEnd) == outer.end() && outerEnd->empty());
}

std::string plural(size_t count, const std::string& noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

}  // namespace

void PhotoFolderCheck::require(const fs::path& photoFolder, const fs::path& outputFolder) {
    std::error_code error;
    const fs::file_status status = fs::status(photoFolder, error);
    if (!fs::exists(status)) throw Error("Photo folder not found: " + photoFolder.string());
    if (!fs::is_directory(status))
        throw Error(photoFolder.string() + " is not a folder of photos (a video needs the video input)");

    if (isInside(outputFolder, photoFolder))
        throw Error("The output folder " + outputFolder.string() + " is inside the photo folder " +
                    photoFolder.string() + ": COLMAP would read the workspace's files as photos. Choose another folder.");

    if (auto profile = engines::DatasetProfile::scan(photoFolder); profile && profile->imageCount > 0) return;

    size_t files = 0, folders = 0, images = 0;
    const auto& extensions = engines::DatasetProfile::imageExtensions();
    for (fs::directory_iterator entry(photoFolder, error), end; !error && entry != end; entry.increment(error)) {
        std::error_code ignored;
        if (entry->is_directory(ignored)) {
            ++folders;
            continue;
        }
        ++files;
        std::string extension = entry->path().extension().string();
        if (!extension.empty()) extension.erase(0, 1);
        std::transform(extension.begin(), extension.end(), extension.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        if (extensions.count(extension)) ++images;
    }
    if (error) throw Error("Could not read the photo folder " + photoFolder.string() + ": " + error.message());
    const std::string found = "it holds " + plural(files, "file") + " and " + plural(folders, "folder");
    if (images > 0)
        throw Error("No readable image in " + photoFolder.string() + ": " + found + ", and its first image (of " +
                    std::to_string(images) + ") cannot be decoded");
    throw Error("No readable image in " + photoFolder.string() + ": " + found +
                ", none of them a JPEG, PNG, TIFF or BMP image");
}

}  // namespace tessaron::pipeline
