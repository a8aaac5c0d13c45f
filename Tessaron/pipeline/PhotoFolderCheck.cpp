#include "pipeline/PhotoFolderCheck.hpp"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <map>
#include <system_error>
#include <unistd.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "core/MemoryBudget.hpp"
#include "core/ParallelFor.hpp"
#include "core/RegularFile.hpp"
#include "engines/DatasetProfile.hpp"
#include "engines/ImageHeader.hpp"

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

struct Verdict {
    std::optional<std::string> reason;  // none when the photo reads
    std::int64_t width = 0;
    std::int64_t height = 0;
};

// Why COLMAP could not use the photo, or its size when it decodes.
Verdict examine(const fs::path& photo, core::MemoryBudget& budget) {
    core::RegularFile file = core::RegularFile::openForReading(photo);
    if (!file.isOpen()) return {file.error().message()};
    if (file.size() == 0) return {"empty file"};
    if (file.size() > PhotoFolderCheck::maximumPhotoBytes)
        return {std::to_string(file.size()) + " bytes, more than a photo has"};
    const std::optional<engines::ImageHeader> header = engines::ImageHeader::read(file);
    if (!header) return {"not a readable image"};
    if (auto problem = PhotoFolderCheck::unreadableByCOLMAP(*header)) return {problem};
    if (header->format == engines::ImageHeader::Format::jpeg && !engines::ImageHeader::jpegReachesItsEnd(file))
        return {"truncated"};

    // The decoder reads the open file itself, block by block, instead of a
    // copy of it in memory; the budget bounds what the decoded pictures hold.
    static const bool descriptorsByPath = [] {
        std::error_code error;
        return fs::is_directory("/proc/self/fd", error);
    }();
    const std::string source =
        descriptorsByPath ? "/proc/self/fd/" + std::to_string(file.descriptor()) : photo.string();
    const core::MemoryBudget::Reservation held = budget.reserve(PhotoFolderCheck::decodeBytes(*header));
    // An eighth of the size is decoded, enough to know the image reads; a
    // picture of a few pixels has no eighth and is decoded whole.
    for (int mode : {cv::IMREAD_REDUCED_GRAYSCALE_8, cv::IMREAD_GRAYSCALE}) {
        try {
            if (!cv::imread(source, mode | cv::IMREAD_IGNORE_ORIENTATION).empty())
                return {std::nullopt, header->width, header->height};
        } catch (const cv::Exception&) {
            // A decoder that gives up on malformed data is the same answer.
        }
    }
    return {"not a readable image"};
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

std::vector<PhotoFolderCheck::SizeCount> PhotoFolderCheck::Result::sizes() const {
    std::map<std::pair<std::int64_t, std::int64_t>, size_t> counts;
    for (const Photo& photo : kept) ++counts[{photo.width, photo.height}];
    std::vector<SizeCount> sizes;
    for (const auto& [size, count] : counts) sizes.push_back({size.first, size.second, count});
    return sizes;
}

std::string PhotoFolderCheck::Result::sizesText() const {
    constexpr size_t sizesShown = 5;
    const std::vector<SizeCount> all = sizes();
    std::string text;
    for (size_t index = 0; index < std::min(all.size(), sizesShown); ++index) {
        if (index > 0) text += ", ";
        text += std::to_string(all[index].photos) + " of " + std::to_string(all[index].width) + " × " +
                std::to_string(all[index].height);
    }
    if (all.size() > sizesShown) text += " and " + plural(all.size() - sizesShown, "more size");
    return text;
}

namespace {

// Empties what an earlier run left at `folder`: links go (a link in the
// folder's own place too, never followed), folders of links are emptied and
// go; anything else is the user's and stops the run.
void clearLinks(const fs::path& folder, const fs::path& top) {
    std::error_code error;
    const fs::file_status status = fs::symlink_status(folder, error);
    if (status.type() == fs::file_type::not_found) return;
    if (error) throw PhotoFolderCheck::Error("Could not read " + folder.string() + ": " + error.message());
    if (fs::is_symlink(status)) {
        fs::remove(folder);
        return;
    }
    auto refuse = [&top](const fs::path& item) {
        throw PhotoFolderCheck::Error("Cannot link the photos for COLMAP into " + top.string() + ": " + item.string() +
                                      " is there and is not a link of an earlier run. Move it away or choose "
                                      "another output folder.");
    };
    if (!fs::is_directory(status)) refuse(folder);
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
        const fs::file_status entryStatus = entry->symlink_status();
        if (fs::is_symlink(entryStatus))
            fs::remove(entry->path());
        else if (fs::is_directory(entryStatus))
            clearLinks(entry->path(), top);
        else
            refuse(entry->path());
    }
    if (error) throw PhotoFolderCheck::Error("Could not read " + folder.string() + ": " + error.message());
    fs::remove(folder);
}

}  // namespace

void PhotoFolderCheck::Result::linkKeptPhotos(const fs::path& linkFolder) const {
    clearLinks(linkFolder, linkFolder);
    fs::create_directories(linkFolder);
    const fs::path source = fs::absolute(folder);
    for (const Photo& photo : kept) {
        const fs::path name = photo.path.lexically_relative(folder);
        if (name.has_parent_path()) fs::create_directories(linkFolder / name.parent_path());
        fs::create_symlink(source / name, linkFolder / name);
    }
}

std::uint64_t PhotoFolderCheck::decodeBytes(const engines::ImageHeader& header) {
    constexpr double fixed = 4 << 20;  // the decoder's own tables and rows
    const double pixels = double(header.width) * double(header.height);
    const double sampleBytes = double((header.bitsPerSample + 7) / 8);
    double bytes = fixed;
    if (header.format == engines::ImageHeader::Format::jpeg) {
        // Scaled down while decoding: an eighth in each direction; a
        // progressive JPEG keeps every coefficient (two bytes) of every
        // sample until its last scan.
        bytes += pixels / 64 * header.samplesPerPixel;
        if (header.progressive) bytes += pixels * header.samplesPerPixel * 2;
    } else {
        // Decoded whole in grey, then scaled; a strip or tile may be the
        // whole picture in its stored form.
        bytes += pixels * (1 + header.samplesPerPixel * sampleBytes);
    }
    return bytes >= 1.8e19 ? std::numeric_limits<std::uint64_t>::max() : std::uint64_t(bytes);
}

std::optional<std::string> PhotoFolderCheck::unreadableByCOLMAP(const engines::ImageHeader& header) {
    if (header.floatingPoint) return "floating-point samples, which COLMAP cannot read";
    if (header.bitsPerSample > 16) return std::to_string(header.bitsPerSample) + "-bit samples, which COLMAP cannot read";
    if (header.bitsPerSample > 8 && header.samplesPerPixel > 1)
        return std::to_string(header.bitsPerSample) +
               (header.samplesPerPixel == 2 ? "-bit grey with alpha" : "-bit colour") + ", which COLMAP cannot read";
    return std::nullopt;
}

PhotoFolderCheck::Result PhotoFolderCheck::require(const fs::path& photoFolder, const fs::path& outputFolder) {
    return require(photoFolder, outputFolder, defaultMemoryBudget);
}

PhotoFolderCheck::Result PhotoFolderCheck::require(const fs::path& photoFolder, const fs::path& outputFolder,
                                                   std::uint64_t memoryBudget) {
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

    core::MemoryBudget budget(memoryBudget);
    std::vector<Verdict> verdicts(photos.size());
    core::parallelFor(photos.size(), [&](size_t index) { verdicts[index] = examine(photos[index], budget); });
    Result result;
    result.folder = photoFolder;
    result.photos = photos.size();
    for (size_t index = 0; index < photos.size(); ++index) {
        if (verdicts[index].reason)
            result.leftOut.push_back({photos[index], *verdicts[index].reason});
        else
            result.kept.push_back({photos[index], verdicts[index].width, verdicts[index].height});
    }

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
