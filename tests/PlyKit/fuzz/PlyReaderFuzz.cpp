// libFuzzer target for the PLY reader (clang, -DTESSARON_FUZZ=ON):
//   build-fuzz/tests/PlyKit/PlyReaderFuzz -max_total_time=600 corpus/
#include <cstddef>
#include <cstdint>

#include "PlyReaderFuzzInput.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    plykit::fuzzing::consumePlyInput(data, size);
    return 0;
}
