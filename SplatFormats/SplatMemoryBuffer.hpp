#pragma once

#include <vector>

#include "SplatFormats/SplatSceneReader.hpp"

namespace splatformats {

// A scene read into memory.
struct SplatMemoryBuffer {
    std::vector<SplatPoint> points;

    // Replaces `points` with everything the reader yields; on failure they
    // stay as they were and the error is rethrown.
    void read(SplatSceneReader& reader);
};

}  // namespace splatformats
