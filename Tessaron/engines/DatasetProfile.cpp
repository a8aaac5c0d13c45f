#include "engines/DatasetProfile.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/videoio.hpp>

#include "core/ProcFiles.hpp"
#include "engines/ImageHeader.hpp"
#include "engines/PhysicalMemory.hpp"

namespace tessaron::engines {

namespace {

constexpr int64_t bytesPerGiB = int64_t(1) << 30;

// The value of "<field>:   <n> kB" in bytes.
std::optional<int64_t> meminfoBytes(std::string_view meminfo, std::string_view field) {
    const std::optional<uint64_t> kibibytes = core::procfiles::number(meminfo, field);
    if (!kibibytes || *kibibytes > uint64_t(INT64_MAX / 1024)) return std::nullopt;
    return int64_t(*kibibytes) * 1024;
}

std::optional<std::string> readMeminfo() {
    // Callers fall back to the system's page count without it.
    return core::procfiles::read("/proc/meminfo");
}

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return text;
}

bool isImageName(const std::string& name) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return false;
    return DatasetProfile::imageExtensions().contains(lowercased(name.substr(dot + 1)));
}

struct Listing {
    std::vector<std::filesystem::path> images;
    std::vector<std::filesystem::path> folders;
};

// The visible entries of a folder in the system's listing order, without
// descending; nothing when it cannot be listed.
std::optional<Listing> list(const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::directory_iterator entries(folder, error);
    if (error) return std::nullopt;
    Listing listing;
    for (; entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        if (error) return std::nullopt;
        std::string name = entries->path().filename().string();
        if (name.starts_with(".")) continue;
        if (isImageName(name)) listing.images.push_back(entries->path());
        std::error_code statusError;
        if (entries->is_directory(statusError) && !statusError) listing.folders.push_back(entries->path());
    }
    return listing;
}

void sortByName(std::vector<std::filesystem::path>& paths) {
    // Byte order of UTF-8 names is code-point order: case-sensitive, not
    // locale-aware.
    std::sort(paths.begin(), paths.end(),
              [](const auto& a, const auto& b) { return a.filename().string() < b.filename().string(); });
}

DatasetProfile withMemory(DatasetProfile profile) {
    profile.physicalMemoryGB = DatasetProfile::queryPhysicalMemoryGB();
    profile.availableMemoryGB = DatasetProfile::queryAvailableMemoryGB();
    return profile;
}

// A double that converts to int64_t without overflow or NaN.
std::optional<int64_t> truncatedInteger(double value) {
    if (!std::isfinite(value) || value <= -9.2e18 || value >= 9.2e18) return std::nullopt;
    return int64_t(value);
}

}  // namespace

const std::set<std::string>& DatasetProfile::imageExtensions() {
    static const std::set<std::string> extensions = {"jpg", "jpeg", "png", "tiff", "tif", "bmp"};
    return extensions;
}

std::optional<int64_t> DatasetProfile::physicalMemoryGBFromMeminfo(std::string_view meminfo) {
    std::optional<int64_t> bytes = meminfoBytes(meminfo, "MemTotal");
    if (!bytes) return std::nullopt;
    return *bytes >> 30;
}

std::optional<int64_t> DatasetProfile::availableMemoryGBFromMeminfo(std::string_view meminfo) {
    std::optional<int64_t> bytes = meminfoBytes(meminfo, "MemAvailable");
    if (!bytes) return std::nullopt;
    return std::max(*bytes, bytesPerGiB) >> 30;
}

int64_t DatasetProfile::queryPhysicalMemoryGB() {
    if (std::optional<std::string> meminfo = readMeminfo())
        if (std::optional<int64_t> gigabytes = physicalMemoryGBFromMeminfo(*meminfo)) return *gigabytes;
    return int64_t(physicalMemoryBytes() >> 30);
}

int64_t DatasetProfile::queryAvailableMemoryGB() {
    if (std::optional<std::string> meminfo = readMeminfo())
        if (std::optional<int64_t> gigabytes = availableMemoryGBFromMeminfo(*meminfo)) return *gigabytes;
    return int64_t(double(queryPhysicalMemoryGB()) * 0.7);
}

std::optional<DatasetProfile> DatasetProfile::scan(const std::filesystem::path& folder) {
    std::optional<Listing> top = list(folder);
    if (!top) return std::nullopt;
    int64_t count = int64_t(top->images.size());
    std::optional<std::filesystem::path> firstImage;
    if (!top->images.empty()) {
        firstImage = top->images.front();
    } else {
        sortByName(top->folders);
        for (const auto& subfolder : top->folders) {
            std::optional<Listing> inner = list(subfolder);
            if (!inner) continue;
            count += int64_t(inner->images.size());
            if (!firstImage && !inner->images.empty()) {
                sortByName(inner->images);
                firstImage = inner->images.front();
            }
        }
    }
    if (count == 0 || !firstImage) return std::nullopt;

    // Stored pixel size, from the header alone: a photo is never decoded
    // just to be measured.
    const std::optional<ImageHeader> image = ImageHeader::read(*firstImage);
    if (!image) return std::nullopt;

    DatasetProfile profile;
    profile.imageCount = count;
    profile.nativeWidth = image->width;
    profile.nativeHeight = image->height;
    profile.isEstimated = false;
    return withMemory(profile);
}

std::optional<DatasetProfile> DatasetProfile::probe(const std::filesystem::path& video, int64_t stride) {
    cv::VideoCapture capture;
    if (!capture.open(video.string(), cv::CAP_FFMPEG) || !capture.isOpened()) return std::nullopt;
    // The size as stored: a rotation in the stream's metadata is not applied.
    capture.set(cv::CAP_PROP_ORIENTATION_AUTO, 0);

    std::optional<int64_t> frames = truncatedInteger(capture.get(cv::CAP_PROP_FRAME_COUNT));
    std::optional<int64_t> width = truncatedInteger(capture.get(cv::CAP_PROP_FRAME_WIDTH));
    std::optional<int64_t> height = truncatedInteger(capture.get(cv::CAP_PROP_FRAME_HEIGHT));
    if (!frames || !width || !height || *width < 1 || *height < 1) return std::nullopt;
    if (stride >= 1) *frames /= stride;

    DatasetProfile profile;
    profile.imageCount = std::max<int64_t>(*frames, 1);
    profile.nativeWidth = *width;
    profile.nativeHeight = *height;
    profile.isEstimated = true;
    return withMemory(profile);
}

}  // namespace tessaron::engines
