#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "SplatRenderer/GLBufferObject.hpp"

namespace splatrenderer {

// The chunks of a frame as the shaders read them: their records and
// coefficient blocks packed, in chunk order, into a few GL buffers
// ("pages"), each no longer than one storage block may be. A block goes to
// the current page when it fits, else it starts a new page. Pages are made
// and filled on the render thread when the chunk set changes; a page whose
// blocks did not change is not uploaded again.
class ChunkPages {
public:
    // One block of bytes to place; `owner` keeps the bytes alive and tells
    // blocks apart.
    struct Block {
        std::shared_ptr<const void> owner;
        const void* bytes = nullptr;
        std::int64_t length = 0;
        bool operator==(const Block& other) const { return owner == other.owner && length == other.length; }
    };

    struct Placement {
        std::uint32_t page = 0;
        std::uint32_t wordOffset = 0;
    };

    ChunkPages(std::int64_t maxPageLength, int maxPageCount)
        : maxPageLength_(maxPageLength), maxPageCount_(maxPageCount) {}

    // Where each block goes; none when they need more pages than allowed
    // (a block longer than a page never fits).
    static std::optional<std::vector<Placement>> layout(std::span<const Block> blocks, std::int64_t maxPageLength,
                                                        int maxPageCount);

    // Places and uploads the blocks; none when they do not fit. Throws
    // GPUBufferBase::Error when GL refuses a page. Render thread only.
    std::optional<std::vector<Placement>> update(std::span<const Block> blocks);

    int pageCount() const noexcept { return int(pages_.size()); }
    GLuint pageName(int page) const { return pages_[std::size_t(page)].buffer.name(); }

private:
    struct Page {
        GLBufferObject buffer;
        std::vector<Block> blocks;  // what it holds, in order
    };

    std::int64_t maxPageLength_;
    int maxPageCount_;
    std::vector<Page> pages_;
};

}  // namespace splatrenderer
