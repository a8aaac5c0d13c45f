#pragma once

#include <filesystem>
#include <string>
#include <system_error>

#include "core/Error.hpp"

namespace tessaron::core {

// The system's answer to a failed file operation, passed on unchanged: the
// error code lets callers tell "no such file" from "exists" from the rest,
// and what() names the operation, the path and the system's description.
class FileError : public Error {
public:
    FileError(const std::string& operation, const std::filesystem::path& path, std::error_code code)
        : Error(operation + " " + path.string() + ": " + code.message()), code_(code), path_(path) {}

    const std::error_code& code() const noexcept { return code_; }
    const std::filesystem::path& path() const noexcept { return path_; }

    bool isNoSuchFile() const noexcept { return code_ == std::errc::no_such_file_or_directory; }
    bool isFileExists() const noexcept { return code_ == std::errc::file_exists; }

    // Throws for errno as left by a failed system call.
    [[noreturn]] static void throwErrno(const std::string& operation, const std::filesystem::path& path);

private:
    std::error_code code_;
    std::filesystem::path path_;
};

}  // namespace tessaron::core
