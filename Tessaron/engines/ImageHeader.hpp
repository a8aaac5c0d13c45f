#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>

namespace tessaron::core {
class RegularFile;
}

namespace tessaron::engines {

// The stored pixel size of a JPEG, PNG, BMP or TIFF file, read from its
// header alone: nothing is decoded, so a file that announces an enormous
// picture in a few bytes costs no more than a small one, and a FIFO or
// device with a photo's name is refused at once instead of blocking.
// EXIF orientation is not applied.
struct ImageHeader {
    enum class Format { jpeg, png, bmp, tiff };

    std::int64_t width = 0;
    std::int64_t height = 0;
    Format format = Format::jpeg;
    // How a pixel is stored: its samples (alpha and palette index count as
    // one each), the bits of the widest sample, and whether samples are
    // floating point (TIFF only). A BMP's samples are bytes.
    int samplesPerPixel = 3;
    int bitsPerSample = 8;
    bool floatingPoint = false;
    // A JPEG coded in several scans, which a decoder keeps whole in memory.
    bool progressive = false;

    // None when the file cannot be opened as a regular file, is none of the
    // four formats, or its header is cut short or names no positive size.
    static std::optional<ImageHeader> read(const std::filesystem::path& file);
    // The same for a file already open; reads at offsets, so it leaves the
    // file's position alone.
    static std::optional<ImageHeader> read(const core::RegularFile& file);

    // Whether a JPEG's markers run on to its end-of-image marker. A file cut
    // short ends inside them: decoders then say "Premature end of JPEG file"
    // and fill the rest of the picture with grey. Reads the file through one
    // block, to its end-of-image marker at most, and leaves its position
    // alone; an embedded thumbnail's end marker does not count.
    static bool jpegReachesItsEnd(const core::RegularFile& file);

    // The same walk, counting the JPEG's scans (start-of-scan markers) on
    // the way. A decoder passes over the whole picture once per scan, so
    // their number bounds its work as much as the picture's size does. The
    // walk ends once `scanLimit` is passed: the file is refused then
    // anyway, and `scans` is scanLimit + 1.
    struct JpegMarkers {
        bool reachesEnd = false;
        std::size_t scans = 0;
    };
    static JpegMarkers walkJpeg(const core::RegularFile& file, std::size_t scanLimit);
};

}  // namespace tessaron::engines
