#pragma once

#include <cstdint>
#include <filesystem>
#include <system_error>

namespace tessaron::core {

// A file opened for reading that is known to be a regular file. Opening never
// waits: a FIFO, a device such as /dev/zero or a socket where a file is
// expected is refused at once instead of blocking a reader forever or feeding
// it without end. Owns its descriptor.
class RegularFile {
public:
    // On failure the result is not open and error() says why: the system's
    // code (EISDIR for a folder), or one of fileKindCategory() for anything
    // else that is not a regular file.
    static RegularFile openForReading(const std::filesystem::path& path);

    RegularFile(RegularFile&& other) noexcept;
    RegularFile& operator=(RegularFile&& other) noexcept;
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;
    ~RegularFile();

    bool isOpen() const noexcept { return descriptor_ >= 0; }
    int descriptor() const noexcept { return descriptor_; }
    // The size when it was opened.
    std::uint64_t size() const noexcept { return size_; }
    const std::error_code& error() const noexcept { return error_; }
    // Hands the descriptor over; the caller closes it.
    int release() noexcept;

private:
    RegularFile() = default;

    int descriptor_ = -1;
    std::uint64_t size_ = 0;
    std::error_code error_;
};

// Error codes for paths that name something other than a regular file; their
// messages say what was found ("is a FIFO, not a regular file").
enum class FileKindError { fifo = 1, characterDevice, blockDevice, socket, other };
const std::error_category& fileKindCategory() noexcept;
std::error_code make_error_code(FileKindError kind) noexcept;
// The error for a path whose stat mode is not a regular file's (EISDIR for a
// folder); none for a regular file.
std::error_code notRegularFileError(unsigned mode) noexcept;

}  // namespace tessaron::core

template <>
struct std::is_error_code_enum<tessaron::core::FileKindError> : std::true_type {};
