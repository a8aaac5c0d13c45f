#include "pipeline/PhotoFolderCheck.hpp"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <map>
#include <set>
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

std::string lowercasedExtension(const fs::path& path) {
    std::string extension = path.extension().string();
    if (extension.size() < 2 || path.stem().empty()) return {};
    extension.erase(0, 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return extension;
}

bool hasImageName(const fs::path& path) {
    return engines::DatasetProfile::imageExtensions().contains(lowercasedExtension(path));
}

// Picture formats a camera, phone or editor writes that the run does not
// take: a file of one of them is named, not passed over in silence.
bool hasOtherPictureName(const fs::path& path) {
    static const std::set<std::string> extensions = {
        "webp", "heic", "heif", "avif", "jxl", "jp2", "j2k", "jpx", "jpe", "jfif", "gif", "dng", "cr2",
        "cr3", "crw", "nef", "nrw", "arw", "srf", "sr2", "orf", "rw2", "raf", "pef", "srw", "x3f", "raw",
        "3fr", "iiq", "psd", "exr", "hdr", "tga", "ppm", "pgm", "pbm", "pnm", "pcx", "ico"};
    return extensions.contains(lowercasedExtension(path));
}

bool isHidden(const fs::path& path) { return path.filename().string().starts_with("."); }

struct Entries {
    std::vector<fs::path> photos;
    std::vector<fs::path> otherPictures;
    std::vector<fs::path> folders;
    size_t files = 0;  // every entry that is not a folder, hidden ones too
};

// The entries of one folder, without descending; throws Error when it
// cannot be listed.
Entries list(const fs::path& folder) {
    Entries listing;
    std::error_code error;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
        std::error_code ignored;
        if (entry->is_directory(ignored)) {
            if (!isHidden(entry->path())) listing.folders.push_back(entry->path());
            continue;
        }
        ++listing.files;
        if (isHidden(entry->path())) continue;
        if (hasImageName(entry->path()))
            listing.photos.push_back(entry->path());
        else if (hasOtherPictureName(entry->path()))
            listing.otherPictures.push_back(entry->path());
    }
    if (error)
        throw PhotoFolderCheck::Error("Could not read the photo folder " + folder.string() + ": " + error.message());
    return listing;
}

// Every file that looks like a photo anywhere below `folder`, which the
// run does not read. Links to folders are not followed (they may loop); a
// folder below that cannot be listed holds nothing the run reads either.
void addPicturesBelow(const fs::path& folder, std::vector<PhotoFolderCheck::NotGiven>& notGiven) {
    std::error_code error;
    fs::recursive_directory_iterator entry(folder, fs::directory_options::skip_permission_denied, error), end;
    for (; !error && entry != end; entry.increment(error)) {
        std::error_code ignored;
        if (isHidden(entry->path())) {
            if (entry->is_directory(ignored)) entry.disable_recursion_pending();
            continue;
        }
        if (entry->is_directory(ignored)) continue;
        if (hasImageName(entry->path()) || hasOtherPictureName(entry->path()))
            notGiven.push_back({entry->path(), PhotoFolderCheck::NotGiven::Why::inSubfolder});
    }
}

// COLMAP 3.8 turns every backslash of an image's name into a separator, so
// it records a name that training cannot find.
bool readAsPath(const fs::path& name) { return name.string().find('\\') != std::string::npos; }

struct Verdict {
    std::optional<std::string> reason;  // none when the photo reads
    std::int64_t width = 0;
    std::int64_t height = 0;
};

// Why COLMAP could not use the photo, or its size when it decodes.
Verdict examine(const fs::path& photo, core::MemoryBudget& budget, const PhotoFolderCheck::CancelProbe& isCancelled) {
    const auto stopIfCancelled = [&isCancelled] {
        if (isCancelled && isCancelled()) throw core::CancellationError();
    };
    stopIfCancelled();
    core::RegularFile file = core::RegularFile::openForReading(photo);
    if (!file.isOpen()) return {file.error().message()};
    if (file.size() == 0) return {"empty file"};
    if (file.size() > PhotoFolderCheck::maximumPhotoBytes)
        return {std::to_string(file.size()) + " bytes, more than a photo has"};
    const std::optional<engines::ImageHeader> header = engines::ImageHeader::read(file);
    if (!header) return {"not a readable image"};
    if (auto problem = PhotoFolderCheck::unreadableByCOLMAP(*header)) return {problem};
    if (header->format == engines::ImageHeader::Format::jpeg) {
        const engines::ImageHeader::JpegMarkers markers =
            engines::ImageHeader::walkJpeg(file, PhotoFolderCheck::maximumJpegScans);
        if (markers.scans > PhotoFolderCheck::maximumJpegScans)
            return {"more than " + std::to_string(PhotoFolderCheck::maximumJpegScans) +
                    " JPEG scans, far past the ten or so a camera writes: decoding it would take unbounded work"};
        if (!markers.reachesEnd) return {"truncated"};
    }

    // The decoder reads the open file itself, block by block, instead of a
    // copy of it in memory; the budget bounds what the decoded pictures hold.
    static const bool descriptorsByPath = [] {
        std::error_code error;
        return fs::is_directory("/proc/self/fd", error);
    }();
    const std::string source =
        descriptorsByPath ? "/proc/self/fd/" + std::to_string(file.descriptor()) : photo.string();
    const core::MemoryBudget::Reservation held = budget.reserve(PhotoFolderCheck::decodeBytes(*header));
    // The wait for memory may have outlasted a cancel.
    stopIfCancelled();
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

std::string tooFewPhotos(const fs::path& folder) {
    return "Too few photos in " + folder.string() + " for structure from motion, which needs at least " +
           std::to_string(PhotoFolderCheck::minimumPhotos) + ": ";
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

std::optional<std::string> PhotoFolderCheck::Survey::warning() const {
    if (notGiven.empty()) return std::nullopt;
    constexpr size_t namesPerReason = 3;
    std::string extensions;
    for (const std::string& extension : engines::DatasetProfile::imageExtensions())
        extensions += (extensions.empty() ? "." : ", .") + extension;
    extensions.replace(extensions.rfind(", "), 2, " and ");
    const std::pair<NotGiven::Why, std::string> reasons[] = {
        {NotGiven::Why::inSubfolder, cameraFolders ? "below the camera subfolders, which are read one level deep only"
                                                   : "in a subfolder, which is not read when the folder itself holds "
                                                     "photos"},
        {NotGiven::Why::extensionNotTaken, "with an extension the run does not take, only " + extensions},
        {NotGiven::Why::nameReadAsPath, "with a name COLMAP would read as a path, as it holds a backslash"},
    };
    std::string groups;
    for (const auto& [why, reason] : reasons) {
        std::vector<std::string> names;
        for (const NotGiven& file : notGiven)
            if (file.why == why) names.push_back(file.file.lexically_relative(folder).string());
        if (names.empty()) continue;
        if (!groups.empty()) groups += "; ";
        groups += std::to_string(names.size()) + " " + reason + " (";
        for (size_t index = 0; index < std::min(names.size(), namesPerReason); ++index)
            groups += (index > 0 ? ", " : "") + names[index];
        if (names.size() > namesPerReason) groups += " and " + std::to_string(names.size() - namesPerReason) + " more";
        groups += ")";
    }
    return "⚠ " + std::to_string(notGiven.size()) +
           (notGiven.size() == 1 ? " file that looks like a photo is" : " files that look like photos are") +
           " not given to COLMAP: " + groups + ".";
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

PhotoFolderCheck::Survey PhotoFolderCheck::survey(const fs::path& photoFolder) {
    std::error_code error;
    const fs::file_status status = fs::status(photoFolder, error);
    if (!fs::exists(status)) throw Error("Photo folder not found: " + photoFolder.string());
    if (!fs::is_directory(status))
        throw Error(photoFolder.string() + " is not a folder of photos (a video needs the video input)");

    Survey survey;
    survey.folder = photoFolder;
    const Entries top = list(photoFolder);
    std::vector<fs::path> candidates = top.photos;
    std::vector<fs::path> otherPictures = top.otherPictures;
    if (candidates.empty()) {
        // A rig's photos are in one folder per camera.
        for (const fs::path& folder : top.folders) {
            const Entries camera = list(folder);
            candidates.insert(candidates.end(), camera.photos.begin(), camera.photos.end());
            otherPictures.insert(otherPictures.end(), camera.otherPictures.begin(), camera.otherPictures.end());
            for (const fs::path& below : camera.folders) addPicturesBelow(below, survey.notGiven);
        }
        survey.cameraFolders = true;
    } else {
        for (const fs::path& folder : top.folders) addPicturesBelow(folder, survey.notGiven);
    }
    for (const fs::path& file : otherPictures) survey.notGiven.push_back({file, NotGiven::Why::extensionNotTaken});
    for (const fs::path& photo : candidates) {
        if (readAsPath(photo.lexically_relative(photoFolder)))
            survey.notGiven.push_back({photo, NotGiven::Why::nameReadAsPath});
        else
            survey.photos.push_back(photo);
    }
    std::sort(survey.photos.begin(), survey.photos.end());
    std::sort(survey.notGiven.begin(), survey.notGiven.end(),
              [](const NotGiven& a, const NotGiven& b) { return a.file < b.file; });
    return survey;
}

PhotoFolderCheck::Survey PhotoFolderCheck::requireListing(const fs::path& photoFolder, const fs::path& outputFolder) {
    Survey found = survey(photoFolder);
    if (isInside(outputFolder, photoFolder))
        throw Error("The output folder " + outputFolder.string() + " is inside the photo folder " +
                    photoFolder.string() + ": COLMAP would read the workspace's files as photos. Choose another folder.");
    // What was passed over is the likely cause of too few photos.
    const std::string passedOver = found.warning() ? " " + found.warning()->substr(std::string_view("⚠ ").size()) : "";
    if (found.photos.empty()) {
        const Entries top = list(photoFolder);
        if (!passedOver.empty()) throw Error("No photo in " + photoFolder.string() + " can be given to COLMAP:" + passedOver);
        throw Error("No readable image in " + photoFolder.string() + ": it holds " + plural(top.files, "file") +
                    " and " + plural(top.folders.size(), "folder") + ", none of them a JPEG, PNG, TIFF or BMP image");
    }
    if (found.photos.size() < minimumPhotos)
        throw Error(tooFewPhotos(photoFolder) + "it holds " + plural(found.photos.size(), "photo") + "." + passedOver);
    return found;
}

PhotoFolderCheck::Result PhotoFolderCheck::require(const fs::path& photoFolder, const fs::path& outputFolder,
                                                   const CancelProbe& isCancelled) {
    return require(photoFolder, outputFolder, defaultMemoryBudget, isCancelled);
}

PhotoFolderCheck::Result PhotoFolderCheck::require(const fs::path& photoFolder, const fs::path& outputFolder,
                                                   std::uint64_t memoryBudget, const CancelProbe& isCancelled) {
    Survey listing = requireListing(photoFolder, outputFolder);
    const std::vector<fs::path>& photos = listing.photos;

    core::MemoryBudget budget(memoryBudget);
    std::vector<Verdict> verdicts(photos.size());
    // A cancel ends the loop: photos not handed out by then are skipped.
    core::parallelFor(photos.size(),
                      [&](size_t index) { verdicts[index] = examine(photos[index], budget, isCancelled); });
    Result result;
    result.folder = photoFolder;
    result.photos = photos.size();
    for (size_t index = 0; index < photos.size(); ++index) {
        if (verdicts[index].reason)
            result.leftOut.push_back({photos[index], *verdicts[index].reason});
        else
            result.kept.push_back({photos[index], verdicts[index].width, verdicts[index].height});
    }

    result.listing = std::move(listing);
    if (result.usable() < minimumPhotos)
        throw Error(tooFewPhotos(photoFolder) + std::to_string(result.usable()) + " of its " +
                    plural(result.photos, "photo") + " can be read (left out: " + leftOutList(result, photoFolder) +
                    ").");
    return result;
}

}  // namespace tessaron::pipeline
