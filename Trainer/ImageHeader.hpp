#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace tessaron::trainer {

// The pixel size an encoded photo announces, read from its header alone:
// a decoder allocates what the header claims, so a few kilobytes that claim
// 20000 × 20000 pixels must be caught before they are decoded. Knows the
// formats the application collects as photos: JPEG, PNG, TIFF and BMP.
struct ImageHeader {
    enum class Format { jpeg, png, tiff, bmp };

    Format format = Format::jpeg;
    // As stored, before any orientation tag is applied.
    uint64_t width = 0;
    uint64_t height = 0;

    // Nothing when the bytes are not one of these formats, or the header is
    // cut short or names no size.
    static std::optional<ImageHeader> read(std::span<const uint8_t> bytes);
};

}  // namespace tessaron::trainer
