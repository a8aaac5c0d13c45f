// Any input must end in the reader's own errors, never in a crash, a
// sanitizer report or an escaping exception of another kind.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "SplatFormats/SPZSceneReader.hpp"
#include "core/Error.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        splatformats::SPZSceneReader(std::vector<std::uint8_t>(data, data + size)).readAll();
    } catch (const tessaron::core::Error&) {
        // Refusing damaged input is the expected outcome.
    }
    return 0;
}
