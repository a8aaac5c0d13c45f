#pragma once

#include <cstdint>
#include <span>

#include "spz/SpzHeader.hpp"

namespace spz {

// CRC-32 of RFC 1952 (reflected 0xEDB88320, initial and final complement);
// empty input gives 0.
std::uint32_t crc32(std::span<const std::uint8_t> bytes);

// One gzip member: the fixed 10-byte header 1F 8B 08 00 00000000 00 FF, raw
// DEFLATE of the stream, CRC-32 and length. Throws SPZError on empty input.
Bytes compressGzipped(std::span<const std::uint8_t> stream);

// The content of a gzip member, or of raw DEFLATE when the input does not
// begin with 1F 8B; at most `maximumSize` bytes (see GzipInflater).
Bytes decompressGzipped(std::span<const std::uint8_t> file, std::size_t maximumSize = SpzHeader::largestStreamSize);

}  // namespace spz
