#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/Error.hpp"

namespace tessaron::core {

// Whole-file writes that never leave a half-written file under the final
// name: the bytes go to a temporary in the same folder, are flushed to disk,
// and the temporary is renamed over the target. On failure the old file is
// untouched and the temporary removed.
class AtomicFile {
public:
    class WriteError : public Error {
    public:
        using Error::Error;
    };

    static void write(const std::filesystem::path& target, std::string_view bytes);
};

// Read a whole file into one buffer of exactly its size (no growth copies,
// which matter for files of hundreds of megabytes); throw Error naming the
// path when it cannot be read.
std::string readWholeFile(const std::filesystem::path& path);
std::vector<std::uint8_t> readWholeFileBytes(const std::filesystem::path& path);

}  // namespace tessaron::core
