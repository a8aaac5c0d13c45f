#include "engines/FileError.hpp"

#include <cerrno>

namespace tessaron::engines {

void FileError::throwErrno(const std::string& operation, const std::filesystem::path& path) {
    throw FileError(operation, path, std::error_code(errno, std::generic_category()));
}

}  // namespace tessaron::engines
