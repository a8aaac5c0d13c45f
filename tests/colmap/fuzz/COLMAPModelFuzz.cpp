// Feeds arbitrary bytes to the three COLMAP model readers. The readers take
// files, so the input goes to one file per process in a memory-backed folder.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <fstream>
#include <string>
#include <unistd.h>

#include "colmap/COLMAPUtils.hpp"

namespace {

// The process's scratch file, removed when the fuzzer ends its run.
struct ScratchFile {
    std::string path = "/dev/shm/tessaron-colmap-fuzz-" + std::to_string(::getpid()) + ".bin";
    ~ScratchFile() { ::unlink(path.c_str()); }
};

const std::string& scratchFile() {
    static const ScratchFile file;
    return file.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the reader, the rest is the file.
    {
        std::ofstream file(scratchFile(), std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data + 1), std::streamsize(size - 1));
    }
    using tessaron::colmap::COLMAPUtils;
    try {
        switch (data[0] % 3) {
        case 0: COLMAPUtils::readCameras(scratchFile()); break;
        case 1: COLMAPUtils::readImages(scratchFile()); break;
        default: COLMAPUtils::readPoints3D(scratchFile()); break;
        }
    } catch (const COLMAPUtils::ParseError&) {
        // Expected for malformed input; crashes and leaks are what we look for.
    }
    return 0;
}
