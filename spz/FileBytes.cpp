#include "spz/FileBytes.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/Error.hpp"

namespace spz {

namespace {

[[noreturn]] void fail(const std::filesystem::path& path, int code) {
    throw tessaron::core::Error("Could not read " + path.string() + ": " + std::strerror(code));
}

}  // namespace

Bytes readFileBytes(const std::filesystem::path& path) {
    int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) fail(path, errno);
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        int code = errno;
        ::close(descriptor);
        fail(path, code);
    }
    if (S_ISDIR(status.st_mode)) {
        ::close(descriptor);
        fail(path, EISDIR);
    }
    // One spare byte lets the end of file show without growing the buffer.
    Bytes bytes(status.st_size > 0 ? std::size_t(status.st_size) + 1 : 1);
    std::size_t filled = 0;
    for (;;) {
        // A file that grew since fstat (or reports no size) is read to its end.
        if (filled == bytes.size()) bytes.resize(bytes.size() + (std::size_t(1) << 16));
        ssize_t count = ::read(descriptor, bytes.data() + filled, bytes.size() - filled);
        if (count < 0) {
            if (errno == EINTR) continue;
            int code = errno;
            ::close(descriptor);
            fail(path, code);
        }
        if (count == 0) break;
        filled += std::size_t(count);
    }
    ::close(descriptor);
    bytes.resize(filled);
    return bytes;
}

}  // namespace spz
