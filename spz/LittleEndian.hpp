#pragma once

#include <cstdint>
#include <vector>

namespace spz {

// The format's multi-byte integers are little-endian whatever the host.
inline std::uint32_t readUInt32(const std::uint8_t* bytes) {
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
           std::uint32_t(bytes[3]) << 24;
}

inline void appendUInt32(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(std::uint8_t(value >> shift));
}

}  // namespace spz
