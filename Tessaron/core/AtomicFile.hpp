#pragma once

#include <filesystem>
#include <string>
#include <string_view>

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

// Reads a whole file; throws Error naming the path when it cannot be read.
std::string readWholeFile(const std::filesystem::path& path);

}  // namespace tessaron::core
