#pragma once

#include <filesystem>

#include "spz/SpzHeader.hpp"

namespace spz {

// Reads a whole file into one buffer of exactly its size (no growth copies,
// which matter for files of hundreds of megabytes). Throws
// tessaron::core::Error naming the path when it cannot be read.
Bytes readFileBytes(const std::filesystem::path& path);

}  // namespace spz
