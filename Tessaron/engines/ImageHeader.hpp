#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace tessaron::engines {

// The stored pixel size of a JPEG, PNG, BMP or TIFF file, read from its
// header alone: nothing is decoded, so a file that announces an enormous
// picture in a few bytes costs no more than a small one, and a FIFO or
// device with a photo's name is refused at once instead of blocking.
// EXIF orientation is not applied.
struct ImageHeader {
    std::int64_t width = 0;
    std::int64_t height = 0;

    // None when the file cannot be opened as a regular file, is none of the
    // four formats, or its header is cut short or names no positive size.
    static std::optional<ImageHeader> read(const std::filesystem::path& file);
};

}  // namespace tessaron::engines
