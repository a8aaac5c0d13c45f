#pragma once

#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "PlyKit/PLYReader.hpp"
#include "PlyKit/PLYWriter.hpp"
#include "core/Error.hpp"

namespace plykit::fuzzing {

// One input through the reader, the header printer and the writer. Every
// error of ours is an expected outcome; a crash, a sanitizer finding or a
// broken invariant (abort) is a finding.
inline void consumePlyInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    // A decoded header prints to text that decodes to the same header.
    try {
        PLYHeader header = PLYHeader::decodeASCII(text);
        if (PLYHeader::decodeASCII(header.description()) != header) std::abort();
    } catch (const tessaron::core::Error&) {
    }

    try {
        auto result = PLYReader(std::vector<std::uint8_t>(data, data + size)).read();
        PLYWriter writer(WriterDestination::memory());
        writer.write(result.header);
        // Element types without properties can declare billions of empty
        // elements in a few bytes; stop pulling after a bound.
        std::size_t elementsSeen = 0;
        while (auto series = result.elements.next()) {
            elementsSeen += series->elements.size();
            writer.write(series->elements);
            if (elementsSeen > 200000) break;
        }
        writer.close();
    } catch (const tessaron::core::Error&) {
    }
}

}  // namespace plykit::fuzzing
