#include "spz/Gzip.hpp"

#include <algorithm>
#include <memory>
#include <vector>

#include <libdeflate.h>
#include <zlib.h>

#include "core/ParallelFor.hpp"
#include "spz/GzipInflater.hpp"
#include "spz/LittleEndian.hpp"
#include "spz/SPZError.hpp"

namespace spz {

namespace {

// libdeflate's fastest level already writes packed Gaussian streams a little
// smaller than the earlier zlib level-3 writer did (one million SH-3 points:
// 28.3 MB against 28.6 MB); higher levels cost 1.5-5x the time for 1-5%.
constexpr int compressionLevel = 1;

struct CompressorDeleter {
    void operator()(libdeflate_compressor* compressor) const noexcept { libdeflate_free_compressor(compressor); }
};

}  // namespace

std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
    // A whole scene's stream is checked in pieces side by side, the pieces'
    // checksums then combined as zlib defines.
    constexpr std::size_t piece = std::size_t(8) << 20;
    if (bytes.size() < 2 * piece) return std::uint32_t(libdeflate_crc32(0, bytes.data(), bytes.size()));
    std::vector<std::uint32_t> pieces((bytes.size() + piece - 1) / piece);
    tessaron::core::parallelFor(pieces.size(), [&](std::size_t index) {
        auto part = bytes.subspan(index * piece, std::min(piece, bytes.size() - index * piece));
        pieces[index] = std::uint32_t(libdeflate_crc32(0, part.data(), part.size()));
    });
    uLong combined = pieces[0];
    for (std::size_t index = 1; index < pieces.size(); ++index)
        combined = crc32_combine(combined, pieces[index], z_off_t(std::min(piece, bytes.size() - index * piece)));
    return std::uint32_t(combined);
}

Bytes compressGzipped(std::span<const std::uint8_t> stream) {
    if (stream.empty()) throw SPZError::compressionFailed("there is nothing to compress");
    std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(libdeflate_alloc_compressor(compressionLevel));
    if (!compressor) throw SPZError::compressionFailed("libdeflate could not start");

    // Our own header rather than libdeflate's gzip one, whose XFL byte
    // depends on the level: the written header is fixed.
    static constexpr std::uint8_t header[] = {0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF};
    std::size_t bound = libdeflate_deflate_compress_bound(compressor.get(), stream.size());
    Bytes file(sizeof header + bound + 8);
    std::copy(std::begin(header), std::end(header), file.begin());
    // The checksum is worked out beside the compression, which takes far longer.
    std::size_t count = 0;
    std::uint32_t checksum = 0;
    tessaron::core::parallelFor(2, [&](std::size_t part) {
        if (part == 0)
            count = libdeflate_deflate_compress(compressor.get(), stream.data(), stream.size(), file.data() + sizeof header,
                                                bound);
        else
            checksum = crc32(stream);
    });
    if (count == 0) throw SPZError::compressionFailed("libdeflate produced no output");
    file.resize(sizeof header + count);
    appendUInt32(file, checksum);
    appendUInt32(file, std::uint32_t(stream.size()));
    return file;
}

Bytes decompressGzipped(std::span<const std::uint8_t> file, std::size_t maximumSize) {
    GzipInflater inflater(file, maximumSize);
    Bytes stream;
    std::size_t piece = std::size_t(1) << 16;
    for (;;) {
        std::size_t filled = stream.size();
        stream.resize(filled + piece);
        std::size_t count = inflater.read(std::span(stream).subspan(filled));
        stream.resize(filled + count);
        if (count < piece) break;
        piece = std::min<std::size_t>(piece * 2, std::size_t(1) << 26);
    }
    return stream;
}

}  // namespace spz
