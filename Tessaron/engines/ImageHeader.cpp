#include "engines/ImageHeader.hpp"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "core/RegularFile.hpp"

namespace tessaron::engines {

namespace {

// Reads at offsets of one open file; every read is bounded by the file's size.
class Bytes {
public:
    explicit Bytes(const core::RegularFile& file) : file_(file) {}

    std::uint64_t size() const { return file_.size(); }

    // `count` bytes at `offset`, or none when the file holds fewer.
    std::optional<std::vector<unsigned char>> at(std::uint64_t offset, std::size_t count) const {
        if (offset > size() || count > size() - offset) return std::nullopt;
        std::vector<unsigned char> bytes(count);
        std::size_t done = 0;
        while (done < count) {
            const ssize_t got = ::pread(file_.descriptor(), bytes.data() + done, count - done, off_t(offset + done));
            if (got <= 0) return std::nullopt;
            done += std::size_t(got);
        }
        return bytes;
    }

private:
    const core::RegularFile& file_;
};

std::uint32_t bigEndian(const unsigned char* bytes, int count) {
    std::uint32_t value = 0;
    for (int index = 0; index < count; ++index) value = (value << 8) | bytes[index];
    return value;
}

std::uint32_t littleEndian(const unsigned char* bytes, int count) {
    std::uint32_t value = 0;
    for (int index = count - 1; index >= 0; --index) value = (value << 8) | bytes[index];
    return value;
}

std::optional<ImageHeader> sized(std::int64_t width, std::int64_t height) {
    if (width < 1 || height < 1) return std::nullopt;
    return ImageHeader{width, height};
}

std::optional<ImageHeader> png(const Bytes& file) {
    // Signature, then the IHDR chunk: length, type, width, height, bit
    // depth, colour type.
    auto header = file.at(0, 26);
    if (!header || bigEndian(header->data() + 12, 4) != 0x49484452) return std::nullopt;  // "IHDR"
    auto image = sized(bigEndian(header->data() + 16, 4), bigEndian(header->data() + 20, 4));
    if (!image) return std::nullopt;
    image->format = ImageHeader::Format::png;
    image->bitsPerSample = (*header)[24];
    switch ((*header)[25]) {
        case 0: image->samplesPerPixel = 1; break;  // grey
        case 2: image->samplesPerPixel = 3; break;  // RGB
        case 3: image->samplesPerPixel = 1; break;  // palette index
        case 4: image->samplesPerPixel = 2; break;  // grey and alpha
        case 6: image->samplesPerPixel = 4; break;  // RGBA
        default: return std::nullopt;
    }
    return image;
}

std::optional<ImageHeader> jpeg(const Bytes& file) {
    std::uint64_t offset = 2;  // after the start-of-image marker
    for (;;) {
        auto marker = file.at(offset, 2);
        if (!marker || (*marker)[0] != 0xFF) return std::nullopt;
        const unsigned char code = (*marker)[1];
        if (code == 0xFF) {  // fill byte before a marker
            ++offset;
            continue;
        }
        offset += 2;
        // Markers that stand alone, with no segment after them.
        if (code == 0x01 || (code >= 0xD0 && code <= 0xD7)) continue;
        if (code == 0xD9 || code == 0xDA) return std::nullopt;  // image end or scan before any frame header
        auto length = file.at(offset, 2);
        if (!length) return std::nullopt;
        const std::uint32_t segment = bigEndian(length->data(), 2);
        if (segment < 2) return std::nullopt;
        // Start of frame, any coding except the table and arithmetic markers.
        const bool frame = code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
        if (frame) {
            auto body = file.at(offset + 2, 6);  // precision, height, width, components
            if (!body) return std::nullopt;
            auto image = sized(bigEndian(body->data() + 3, 2), bigEndian(body->data() + 1, 2));
            if (!image) return std::nullopt;
            image->format = ImageHeader::Format::jpeg;
            image->bitsPerSample = (*body)[0];
            image->samplesPerPixel = (*body)[5];
            image->progressive = code == 0xC2 || code == 0xC6 || code == 0xCA || code == 0xCE;
            return image;
        }
        offset += segment;
    }
}

std::optional<ImageHeader> bmp(const Bytes& file) {
    auto header = file.at(14, 16);
    if (!header) return std::nullopt;
    std::optional<ImageHeader> image;
    int bitsPerPixel = 0;
    if (littleEndian(header->data(), 4) == 12) {  // the old core header: 16-bit sizes
        image = sized(littleEndian(header->data() + 4, 2), littleEndian(header->data() + 6, 2));
        bitsPerPixel = int(littleEndian(header->data() + 10, 2));
    } else {
        // A negative height stores the rows top-down.
        const auto height = std::int32_t(littleEndian(header->data() + 8, 4));
        image = sized(std::int32_t(littleEndian(header->data() + 4, 4)), std::llabs(std::int64_t(height)));
        bitsPerPixel = int(littleEndian(header->data() + 14, 2));
    }
    if (!image) return std::nullopt;
    image->format = ImageHeader::Format::bmp;
    image->samplesPerPixel = bitsPerPixel == 32 ? 4 : bitsPerPixel >= 16 ? 3 : 1;
    return image;
}

std::optional<ImageHeader> tiff(const Bytes& file, bool little) {
    auto read = [little](const unsigned char* bytes, int count) {
        return little ? littleEndian(bytes, count) : bigEndian(bytes, count);
    };
    auto start = file.at(4, 4);
    if (!start) return std::nullopt;
    const std::uint64_t directory = read(start->data(), 4);
    auto count = file.at(directory, 2);
    if (!count) return std::nullopt;
    std::optional<std::int64_t> width, height;
    // The defaults of the format: one sample of one bit, unsigned.
    std::int64_t bits = 1, samples = 1, sampleFormat = 1;
    const std::uint32_t entries = read(count->data(), 2);
    auto table = file.at(directory + 2, std::size_t(entries) * 12);
    if (!table) return std::nullopt;
    for (std::uint32_t index = 0; index < entries; ++index) {
        const unsigned char* entry = table->data() + index * 12;
        const std::uint32_t tag = read(entry, 2);
        const std::uint32_t type = read(entry + 2, 2);
        const std::uint32_t values = read(entry + 4, 4);
        // Width, height, bits per sample, samples per pixel, sample format.
        if (tag != 256 && tag != 257 && tag != 258 && tag != 277 && tag != 339) continue;
        if (type != 3 && type != 4) return std::nullopt;  // SHORT or LONG
        if (values == 0) return std::nullopt;
        // The first value: in the entry's value field when all fit in its
        // four bytes, else at the offset held there.
        const int size = type == 3 ? 2 : 4;
        std::int64_t value = 0;
        if (std::uint64_t(values) * std::uint64_t(size) <= 4) {
            value = read(entry + 8, size);
        } else {
            auto first = file.at(read(entry + 8, 4), std::size_t(size));
            if (!first) return std::nullopt;
            value = read(first->data(), size);
        }
        switch (tag) {
            case 256: width = value; break;
            case 257: height = value; break;
            case 258: bits = value; break;
            case 277: samples = value; break;
            default: sampleFormat = value; break;
        }
    }
    if (!width || !height) return std::nullopt;
    auto image = sized(*width, *height);
    if (!image || bits < 1 || bits > 64 || samples < 1 || samples > 64) return std::nullopt;
    image->format = ImageHeader::Format::tiff;
    image->bitsPerSample = int(bits);
    image->samplesPerPixel = int(samples);
    image->floatingPoint = sampleFormat == 3;
    return image;
}

// Reads a file front to back through one block, for the walk of a JPEG's
// markers; memory stays one block whatever the file's size.
class BlockReader {
public:
    explicit BlockReader(const core::RegularFile& file) : file_(file), block_(64 * 1024) {}

    // The next byte, or none at the end of the file or a read error.
    std::optional<unsigned char> next() {
        if (at_ == filled_ && !fill()) return std::nullopt;
        return block_[at_++];
    }

    // Skips to the next 0xFF byte and consumes it; false at the end.
    bool skipPastNextFF() {
        for (;;) {
            if (at_ == filled_ && !fill()) return false;
            const void* found = std::memchr(block_.data() + at_, 0xFF, filled_ - at_);
            if (found) {
                at_ = size_t(static_cast<const unsigned char*>(found) - block_.data()) + 1;
                return true;
            }
            at_ = filled_;
        }
    }

    bool skip(std::uint64_t count) {
        const std::uint64_t buffered = filled_ - at_;
        if (count <= buffered) {
            at_ += size_t(count);
            return true;
        }
        offset_ += count - buffered;
        at_ = filled_ = 0;
        return offset_ <= file_.size();
    }

private:
    bool fill() {
        for (;;) {
            const ssize_t count = ::pread(file_.descriptor(), block_.data(), block_.size(), off_t(offset_));
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0) return false;
            offset_ += std::uint64_t(count);
            at_ = 0;
            filled_ = size_t(count);
            return true;
        }
    }

    const core::RegularFile& file_;
    std::vector<unsigned char> block_;
    std::uint64_t offset_ = 0;  // of the byte after the block
    size_t at_ = 0, filled_ = 0;
};

}  // namespace

// Bytes that are no marker are skipped, as decoders do; whether they decode
// is the decoder's question.
bool ImageHeader::jpegReachesItsEnd(const core::RegularFile& file) {
    return walkJpeg(file, std::numeric_limits<std::size_t>::max()).reachesEnd;
}

ImageHeader::JpegMarkers ImageHeader::walkJpeg(const core::RegularFile& file, std::size_t scanLimit) {
    JpegMarkers walked;
    BlockReader reader(file);
    if (!reader.skip(2)) return walked;  // the start-of-image marker
    for (;;) {
        // Entropy-coded data, and stray bytes between segments, up to the
        // next marker.
        if (!reader.skipPastNextFF()) return walked;
        std::optional<unsigned char> code = reader.next();
        while (code && *code == 0xFF) code = reader.next();  // fill bytes
        if (!code) return walked;
        if (*code == 0xD9) {
            walked.reachesEnd = true;
            return walked;
        }
        // A stuffed zero or a restart marker belongs to the scan's data.
        if (*code == 0x00 || (*code >= 0xD0 && *code <= 0xD7) || *code == 0x01 || *code == 0xD8) continue;
        if (*code == 0xDA && ++walked.scans > scanLimit) return walked;
        const std::optional<unsigned char> high = reader.next();
        const std::optional<unsigned char> low = reader.next();
        if (!high || !low) return walked;
        const unsigned length = unsigned(*high) << 8 | *low;
        if (length < 2) {  // malformed, not cut: the decoder judges it
            walked.reachesEnd = true;
            return walked;
        }
        // A scan's header is followed by its data, which the next round
        // skips up to the marker after it.
        if (!reader.skip(length - 2)) return walked;
    }
}

std::optional<ImageHeader> ImageHeader::read(const std::filesystem::path& path) {
    const core::RegularFile opened = core::RegularFile::openForReading(path);
    if (!opened.isOpen()) return std::nullopt;
    return read(opened);
}

std::optional<ImageHeader> ImageHeader::read(const core::RegularFile& opened) {
    if (!opened.isOpen()) return std::nullopt;
    const Bytes file(opened);
    auto magic = file.at(0, 4);
    if (!magic) return std::nullopt;
    const std::array<unsigned char, 4> first{(*magic)[0], (*magic)[1], (*magic)[2], (*magic)[3]};
    if (first == std::array<unsigned char, 4>{0x89, 'P', 'N', 'G'}) return png(file);
    if (first[0] == 0xFF && first[1] == 0xD8) return jpeg(file);
    if (first[0] == 'B' && first[1] == 'M') return bmp(file);
    if (first == std::array<unsigned char, 4>{'I', 'I', 42, 0}) return tiff(file, true);
    if (first == std::array<unsigned char, 4>{'M', 'M', 0, 42}) return tiff(file, false);
    return std::nullopt;
}

}  // namespace tessaron::engines
