#include "SplatRenderer/ChunkPages.hpp"

#include <algorithm>
#include <string>

namespace splatrenderer {

namespace {

// Blocks start on 16-byte boundaries, where any record type may begin.
std::int64_t alignedLength(std::int64_t length) { return (length + 15) / 16 * 16; }

}  // namespace

std::optional<std::vector<ChunkPages::Placement>> ChunkPages::layout(std::span<const Block> blocks,
                                                                     std::int64_t maxPageLength, int maxPageCount) {
    std::vector<Placement> placements;
    placements.reserve(blocks.size());
    std::int64_t page = 0;
    std::int64_t used = 0;
    for (const auto& block : blocks) {
        if (block.length > maxPageLength) return std::nullopt;
        if (used > 0 && used + alignedLength(block.length) > maxPageLength) {
            ++page;
            used = 0;
        }
        placements.push_back(Placement{std::uint32_t(page), std::uint32_t(used / 4)});
        used += alignedLength(block.length);
    }
    if (page >= maxPageCount) return std::nullopt;
    return placements;
}

std::optional<std::vector<ChunkPages::Placement>> ChunkPages::update(std::span<const Block> blocks) {
    auto placements = layout(blocks, maxPageLength_, maxPageCount_);
    if (!placements) return std::nullopt;

    const std::size_t pageCount = blocks.empty() ? 0 : std::size_t(placements->back().page) + 1;
    std::vector<std::vector<Block>> contents(pageCount);
    std::vector<std::int64_t> lengths(pageCount, 0);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const auto& placement = (*placements)[i];
        contents[placement.page].push_back(blocks[i]);
        // Whole words: a shader reads the last odd half through its word.
        lengths[placement.page] = std::int64_t(placement.wordOffset) * 4 + alignedLength(blocks[i].length);
    }

    pages_.resize(pageCount);
    for (std::size_t page = 0; page < pageCount; ++page) {
        auto& current = pages_[page];
        if (current.buffer && current.blocks == contents[page]) continue;
        // Storage is made anew when it is short or far too long.
        const std::int64_t length = std::max<std::int64_t>(lengths[page], 16);
        if (!current.buffer || current.buffer.length() < length || current.buffer.length() > 2 * length)
            current.buffer = GLBufferObject(length, "Chunk Page " + std::to_string(page));
        current.blocks.clear();
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            const auto& placement = (*placements)[i];
            if (placement.page != page) continue;
            current.buffer.write(std::int64_t(placement.wordOffset) * 4, blocks[i].length, blocks[i].bytes);
        }
        current.blocks = std::move(contents[page]);
    }
    return placements;
}

}  // namespace splatrenderer
