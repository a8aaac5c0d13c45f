#include "Trainer/ImageHeader.hpp"

#include <algorithm>
#include <array>

namespace tessaron::trainer {

namespace {

using Bytes = std::span<const uint8_t>;

bool startsWith(Bytes bytes, std::initializer_list<uint8_t> signature) {
    return bytes.size() >= signature.size() && std::equal(signature.begin(), signature.end(), bytes.begin());
}

uint32_t bigEndian(Bytes bytes, size_t offset, size_t width) {
    uint32_t value = 0;
    for (size_t index = 0; index < width; ++index) value = value << 8 | bytes[offset + index];
    return value;
}

uint32_t littleEndian(Bytes bytes, size_t offset, size_t width) {
    uint32_t value = 0;
    for (size_t index = width; index > 0; --index) value = value << 8 | bytes[offset + index - 1];
    return value;
}

std::optional<ImageHeader> sized(ImageHeader::Format format, uint64_t width, uint64_t height) {
    if (width == 0 || height == 0) return std::nullopt;
    return ImageHeader{format, width, height};
}

// The frame header (SOFn) that the decoder sizes its picture by, found the
// way libjpeg walks the markers: bytes before a marker are skipped, as are
// fill bytes; a scan or the end before any frame header gives nothing.
std::optional<ImageHeader> jpeg(Bytes bytes) {
    size_t position = 2;
    for (;;) {
        while (position < bytes.size() && bytes[position] != 0xFF) ++position;
        while (position < bytes.size() && bytes[position] == 0xFF) ++position;
        if (position >= bytes.size()) return std::nullopt;
        const uint8_t marker = bytes[position++];
        if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // no length
        if (marker == 0xD8 || marker == 0xD9 || marker == 0xDA) return std::nullopt;
        if (bytes.size() - position < 2) return std::nullopt;
        const size_t length = bigEndian(bytes, position, 2);
        if (length < 2) return std::nullopt;
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            // Length, precision, height, width.
            if (length < 7 || bytes.size() - position < 7) return std::nullopt;
            return sized(ImageHeader::Format::jpeg, bigEndian(bytes, position + 5, 2),
                         bigEndian(bytes, position + 3, 2));
        }
        if (bytes.size() - position < length) return std::nullopt;
        position += length;
    }
}

std::optional<ImageHeader> png(Bytes bytes) {
    // Signature, then the IHDR chunk: length, type, width, height.
    static constexpr std::array<uint8_t, 4> chunk = {'I', 'H', 'D', 'R'};
    if (bytes.size() < 24 || !std::equal(chunk.begin(), chunk.end(), bytes.begin() + 12)) return std::nullopt;
    return sized(ImageHeader::Format::png, bigEndian(bytes, 16, 4), bigEndian(bytes, 20, 4));
}

// The first image file directory's width and length, as decoders take the
// first page.
std::optional<ImageHeader> tiff(Bytes bytes) {
    const bool little = bytes[0] == 'I';
    auto number = [&](size_t offset, size_t width) {
        return little ? littleEndian(bytes, offset, width) : bigEndian(bytes, offset, width);
    };
    if (bytes.size() < 8) return std::nullopt;
    const size_t directory = number(4, 4);
    if (directory > bytes.size() || bytes.size() - directory < 2) return std::nullopt;
    const size_t entries = number(directory, 2);
    if ((bytes.size() - directory - 2) / 12 < entries) return std::nullopt;
    uint64_t width = 0, height = 0;
    for (size_t index = 0; index < entries; ++index) {
        const size_t entry = directory + 2 + index * 12;
        const uint32_t tag = number(entry, 2), type = number(entry + 2, 2), count = number(entry + 4, 4);
        if ((tag != 256 && tag != 257) || count != 1) continue;
        uint64_t value = 0;
        if (type == 3) value = number(entry + 8, 2);       // SHORT
        else if (type == 4) value = number(entry + 8, 4);  // LONG
        else return std::nullopt;
        (tag == 256 ? width : height) = value;
    }
    return sized(ImageHeader::Format::tiff, width, height);
}

std::optional<ImageHeader> bmp(Bytes bytes) {
    if (bytes.size() < 26) return std::nullopt;
    const uint32_t infoSize = littleEndian(bytes, 14, 4);
    if (infoSize == 12) return sized(ImageHeader::Format::bmp, littleEndian(bytes, 18, 2), littleEndian(bytes, 20, 2));
    if (infoSize < 40) return std::nullopt;
    const int64_t width = int32_t(littleEndian(bytes, 18, 4));
    const int64_t height = int32_t(littleEndian(bytes, 22, 4));  // negative: stored top row first
    if (width < 0) return std::nullopt;
    return sized(ImageHeader::Format::bmp, uint64_t(width), uint64_t(height < 0 ? -height : height));
}

}  // namespace

std::optional<ImageHeader> ImageHeader::read(std::span<const uint8_t> bytes) {
    if (startsWith(bytes, {0xFF, 0xD8, 0xFF})) return jpeg(bytes);
    if (startsWith(bytes, {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A})) return png(bytes);
    if (startsWith(bytes, {'I', 'I', 0x2A, 0x00}) || startsWith(bytes, {'M', 'M', 0x00, 0x2A})) return tiff(bytes);
    if (startsWith(bytes, {'B', 'M'})) return bmp(bytes);
    return std::nullopt;
}

}  // namespace tessaron::trainer
