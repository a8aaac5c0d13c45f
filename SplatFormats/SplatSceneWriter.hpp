#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "SplatFormats/SplatPoint.hpp"

namespace splatformats {

using ByteBuffer = std::vector<std::uint8_t>;

// Writes one splat file of some format. Starting a file (header, point
// count, degree) belongs to each writer, since formats differ. Calls come
// one after another from a single caller.
class SplatSceneWriter {
public:
    virtual ~SplatSceneWriter() = default;

    // Appends points in call order; may be called many times.
    virtual void write(const std::vector<SplatPoint>& points) = 0;
    // Flushes and closes the destination; a second call does nothing.
    virtual void close() = 0;
    // The whole output of a memory destination after close(); nothing for a
    // file destination, and nothing before close().
    virtual std::optional<ByteBuffer> writtenData() const = 0;
};

}  // namespace splatformats
