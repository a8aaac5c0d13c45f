#include "core/FileError.hpp"

#include <cerrno>

namespace tessaron::core {

void FileError::throwErrno(const std::string& operation, const std::filesystem::path& path) {
    throw FileError(operation, path, std::error_code(errno, std::generic_category()));
}

}  // namespace tessaron::core
