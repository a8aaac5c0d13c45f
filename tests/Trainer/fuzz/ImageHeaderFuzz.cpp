// Feeds arbitrary bytes to the photo header reader, which sees every photo
// before a decoder does.
#include <cstddef>
#include <cstdint>
#include <span>

#include "Trainer/ImageHeader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto header = tessaron::trainer::ImageHeader::read(std::span<const uint8_t>(data, size));
    // A size it reports is one the bytes named: never zero.
    if (header && (header->width == 0 || header->height == 0)) __builtin_trap();
    return 0;
}
