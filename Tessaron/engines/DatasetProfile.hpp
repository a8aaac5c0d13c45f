#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace tessaron::engines {

// The size of a run's input and of the machine, measured before the run so
// settings and the memory-fit check can be judged. Memory is in whole GiB
// (2^30 bytes), the remainder dropped. Every operation is stateless and may
// run on any thread; none throws, a failure gives nothing.
struct DatasetProfile {
    int64_t imageCount = 0;  // for a video, the estimated extracted frames, at least 1
    int64_t nativeWidth = 0;
    int64_t nativeHeight = 0;
    int64_t physicalMemoryGB = 0;
    int64_t availableMemoryGB = 0;  // at least 1
    bool isEstimated = false;       // true for a video

    bool operator==(const DatasetProfile&) const = default;

    // "jpg", "jpeg", "png", "tiff", "tif", "bmp"; compared with the
    // lower-cased extension, so "JPG" counts.
    static const std::set<std::string>& imageExtensions();

    // Counts the images of a photo folder, or, when it has none, those of its
    // subfolders one level down (a rig's camera folders), and measures the
    // first image as stored (orientation tags not applied).
    static std::optional<DatasetProfile> scan(const std::filesystem::path& folder);

    // Estimates the frames that an extraction keeping one frame in `stride`
    // would give, from the video's frame count (OpenCV: the container's
    // count, else duration x frame rate), and its stored frame size.
    static std::optional<DatasetProfile> probe(const std::filesystem::path& video, int64_t stride);

    // Memory free now (MemAvailable), at least 1; when /proc/meminfo cannot
    // be read, 70 % of the installed memory.
    static int64_t queryAvailableMemoryGB();
    // Installed memory (MemTotal).
    static int64_t queryPhysicalMemoryGB();

    // The same from the text of a /proc/meminfo; nothing when the field is
    // missing.
    static std::optional<int64_t> availableMemoryGBFromMeminfo(std::string_view meminfo);
    static std::optional<int64_t> physicalMemoryGBFromMeminfo(std::string_view meminfo);
};

}  // namespace tessaron::engines
