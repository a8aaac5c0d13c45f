#pragma once

// What may be found where the application reads back a small file of its
// own: each kind made at a path, with the words of the reason it is refused.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/Fifo.hpp"
#include "support/TempDir.hpp"

namespace tessaron::testing {

struct HostileFile {
    std::string name;
    std::function<void(const std::filesystem::path&)> make;
    std::string reason;
};

// A FIFO, a link to /dev/zero, a sparse file of 3 GiB, and `validText`
// padded with blanks to one byte over `maximumBytes` (a reader without the
// cap would take it).
inline std::vector<HostileFile> hostileFiles(std::uint64_t maximumBytes, const std::string& validText) {
    const std::string tooLarge = "more than the " + std::to_string(maximumBytes);
    return {
        {"FIFO", [](const std::filesystem::path& file) { makeFifo(file); }, "is a FIFO, not a regular file"},
        {"EndlessDevice", [](const std::filesystem::path& file) { std::filesystem::create_symlink("/dev/zero", file); },
         "is a character device, not a regular file"},
        {"SparseGigabytes",
         [](const std::filesystem::path& file) {
             writeTextFile(file, "");
             std::filesystem::resize_file(file, std::uintmax_t(3) << 30);
         },
         tooLarge},
        {"PaddedPastTheCap",
         [maximumBytes, validText](const std::filesystem::path& file) {
             std::string text = validText;
             text.resize(maximumBytes + 1, ' ');
             writeTextFile(file, text);
         },
         tooLarge},
    };
}

}  // namespace tessaron::testing
