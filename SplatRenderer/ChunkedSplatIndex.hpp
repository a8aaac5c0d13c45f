#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace splatrenderer {

// One entry of a sorted order: a splat addressed by the renderer's chunk
// index and its index within that chunk. 8 bytes, little-endian.
struct ChunkedSplatIndex {
    std::uint16_t chunkIndex = 0;
    std::uint16_t _padding = 0;
    std::uint32_t splatIndex = 0;

    ChunkedSplatIndex() = default;
    ChunkedSplatIndex(std::uint16_t chunk, std::uint32_t splat) : chunkIndex(chunk), splatIndex(splat) {}
    bool operator==(const ChunkedSplatIndex&) const = default;
};

static_assert(sizeof(ChunkedSplatIndex) == 8 && offsetof(ChunkedSplatIndex, splatIndex) == 4);

// Names a chunk of one renderer; never handed out twice by it.
struct ChunkID {
    std::uint64_t rawValue = 0;
    bool operator==(const ChunkID&) const = default;
    auto operator<=>(const ChunkID&) const = default;
};

}  // namespace splatrenderer

template <>
struct std::hash<splatrenderer::ChunkID> {
    std::size_t operator()(const splatrenderer::ChunkID& id) const noexcept {
        return std::hash<std::uint64_t>{}(id.rawValue);
    }
};
