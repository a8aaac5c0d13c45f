#include "pipeline/PhotoFolderCheck.hpp"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <unistd.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "core/ParallelFor.hpp"
#include "core/RegularFile.hpp"
#include "engines/DatasetProfile.hpp"

namespace tessaron::pipeline {

namespace fs = std::filesystem;

namespace {

// Names shown in a message; the rest are counted.
constexpr size_t namesShown = 10;

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

bool hasImageName(const fs::path& path) {
    std::string extension = path.extension().string();
    if (extension.size() < 2 || path.stem().empty()) return false;
    extension.erase(0, 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return engines::DatasetProfile::imageExtensions().contains(extension);
}

struct Listing {
    std::vector<fs::path> photos;
    std::vector<fs::path> folders;
    size_t files = 0;  // every entry that is not a folder, hidden ones too
};

// The entries of one folder, without descending; throws Error when it
// cannot be listed.
Listing list(const fs::path& folder) {
    Listing listing;
    std::error_code error;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
        std::error_code ignored;
        if (entry->is_directory(ignored)) {
            if (!entry->path().filename().string().starts_with(".")) listing.folders.push_back(entry->path());
            continue;
        }
        ++listing.files;
        if (!entry->path().filename().string().starts_with(".") && hasImageName(entry->path()))
            listing.photos.push_back(entry->path());
    }
    if (error)
        throw PhotoFolderCheck::Error("Could not read the photo folder " + folder.string() + ": " + error.message());
    return listing;
}

// Why COLMAP could not use the photo, or nothing when it decodes.
std::optional<std::string> whyUnreadable(const fs::path& photo) {
    core::RegularFile file = core::RegularFile::openForReading(photo);
    if (!file.isOpen()) return file.error().message();
    if (file.size() == 0) return "empty file";
    if (file.size() > PhotoFolderCheck::maximumPhotoBytes)
        return std::to_string(file.size()) + " bytes, more than a photo has";
    std::vector<uchar> bytes(size_t(file.size()));
    size_t filled = 0;
    while (filled < bytes.size()) {
        ssize_t count = ::read(file.descriptor(), bytes.data() + filled, bytes.size() - filled);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return std::error_code(errno, std::generic_category()).message();
        if (count == 0) break;
        filled += size_t(count);
    }
    bytes.resize(filled);
    // An eighth of the size is decoded, enough to know the image reads; a
    // picture of a few pixels has no eighth and is decoded whole.
    for (int mode : {cv::IMREAD_REDUCED_GRAYSCALE_8, cv::IMREAD_GRAYSCALE}) {
        try {
            if (!cv::imdecode(bytes, mode | cv::IMREAD_IGNORE_ORIENTATION).empty()) return std::nullopt;
        } catch (const cv::Exception&) {
            // A decoder that gives up on malformed data is the same answer.
        }
    }
    return "not a readable image";
}

std::string leftOutList(const PhotoFolderCheck::Result& result, const fs::path& folder) {
    std::string text;
    for (size_t index = 0; index < std::min(result.leftOut.size(), namesShown); ++index) {
        const auto& photo = result.leftOut[index];
        if (index > 0) text += ", ";
        text += photo.photo.lexically_relative(folder).string() + " (" + photo.reason + ")";
    }
    if (result.leftOut.size() > namesShown) text += " and " + std::to_string(result.leftOut.size() - namesShown) + " more";
    return text;
}

}  // namespace

std::optional<std::string> PhotoFolderCheck::Result::warning() const {
    if (leftOut.empty()) return std::nullopt;
    return "⚠ " + std::to_string(leftOut.size()) + " of " + plural(photos, "photo") +
           (leftOut.size() == 1 ? " cannot be read and is" : " cannot be read and are") +
           " left out: " + leftOutList(*this, folder);
}

PhotoFolderCheck::Result PhotoFolderCheck::require(const fs::path& photoFolder, const fs::path& outputFolder) {
    std::error_code error;
    const fs::file_status status = fs::status(photoFolder, error);
    if (!fs::exists(status)) throw Error("Photo folder not found: " + photoFolder.string());
    if (!fs::is_directory(status))
        throw Error(photoFolder.string() + " is not a folder of photos (a video needs the video input)");

    if (isInside(outputFolder, photoFolder))
        throw Error("The output folder " + outputFolder.string() + " is inside the photo folder " +
                    photoFolder.string() + ": COLMAP would read the workspace's files as photos. Choose another folder.");

    const Listing top = list(photoFolder);
    std::vector<fs::path> photos = top.photos;
    if (photos.empty()) {
        // A rig's photos are in one folder per camera.
        for (const fs::path& folder : top.folders) {
            Listing camera = list(folder);
            photos.insert(photos.end(), camera.photos.begin(), camera.photos.end());
        }
    }
    if (photos.empty())
        throw Error("No readable image in " + photoFolder.string() + ": it holds " + plural(top.files, "file") +
                    " and " + plural(top.folders.size(), "folder") + ", none of them a JPEG, PNG, TIFF or BMP image");
    std::sort(photos.begin(), photos.end());

    std::vector<std::optional<std::string>> reasons(photos.size());
    core::parallelFor(photos.size(), [&](size_t index) { reasons[index] = whyUnreadable(photos[index]); });
    Result result;
    result.folder = photoFolder;
    result.photos = photos.size();
    for (size_t index = 0; index < photos.size(); ++index)
        if (reasons[index]) result.leftOut.push_back({photos[index], *reasons[index]});

    if (result.usable() < minimumPhotos) {
        std::string message = "Too few photos in " + photoFolder.string() + " for structure from motion, which needs at least " +
                              std::to_string(minimumPhotos) + ": ";
        if (result.leftOut.empty())
            message += "it holds " + plural(result.photos, "photo") + ".";
        else
            message += std::to_string(result.usable()) + " of its " + plural(result.photos, "photo") +
                       " can be read (left out: " + leftOutList(result, photoFolder) + ").";
        throw Error(message);
    }
    return result;
}

}  // namespace tessaron::pipeline
