#include "core/AtomicFile.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <random>
#include <unistd.h>

namespace tessaron::core {

namespace {

std::string systemMessage(int code) { return std::strerror(code); }

std::string temporaryName(const std::filesystem::path& target) {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    char suffix[20];
    std::snprintf(suffix, sizeof suffix, "%08llx", static_cast<unsigned long long>(generator() & 0xffffffffULL));
    return std::string(".").append(target.filename().string()).append(".tmp-").append(suffix);
}

}  // namespace

void AtomicFile::write(const std::filesystem::path& target, std::string_view bytes) {
    std::filesystem::path folder = target.parent_path().empty() ? std::filesystem::path(".") : target.parent_path();
    std::filesystem::path temporary = folder / temporaryName(target);

    int descriptor = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (descriptor < 0)
        throw WriteError("Could not write " + target.string() + ": " + systemMessage(errno));

    auto fail = [&](int code) {
        ::close(descriptor);
        ::unlink(temporary.c_str());
        throw WriteError("Could not write " + target.string() + ": " + systemMessage(code));
    };

    size_t written = 0;
    while (written < bytes.size()) {
        ssize_t result = ::write(descriptor, bytes.data() + written, bytes.size() - written);
        if (result < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        written += size_t(result);
    }
    if (::fsync(descriptor) != 0) fail(errno);
    if (::close(descriptor) != 0) {
        int code = errno;
        ::unlink(temporary.c_str());
        throw WriteError("Could not write " + target.string() + ": " + systemMessage(code));
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        int code = errno;
        ::unlink(temporary.c_str());
        throw WriteError("Could not write " + target.string() + ": " + systemMessage(code));
    }
}

namespace {

template <typename Buffer>
Buffer readWholeFileInto(const std::filesystem::path& path) {
    auto fail = [&](int code) -> Buffer { throw Error("Could not read " + path.string() + ": " + systemMessage(code)); };
    int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return fail(errno);
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || S_ISDIR(status.st_mode)) {
        int code = S_ISDIR(status.st_mode) ? EISDIR : errno;
        ::close(descriptor);
        return fail(code);
    }
    // One spare byte lets the end of file show without growing the buffer.
    Buffer bytes(status.st_size > 0 ? size_t(status.st_size) + 1 : 1, 0);
    size_t filled = 0;
    for (;;) {
        // A file that grew since fstat (or reports no size) is read to its end.
        if (filled == bytes.size()) bytes.resize(bytes.size() + (size_t(1) << 16));
        ssize_t count = ::read(descriptor, bytes.data() + filled, bytes.size() - filled);
        if (count < 0) {
            if (errno == EINTR) continue;
            int code = errno;
            ::close(descriptor);
            return fail(code);
        }
        if (count == 0) break;
        filled += size_t(count);
    }
    ::close(descriptor);
    bytes.resize(filled);
    return bytes;
}

}  // namespace

std::string readWholeFile(const std::filesystem::path& path) { return readWholeFileInto<std::string>(path); }

std::vector<std::uint8_t> readWholeFileBytes(const std::filesystem::path& path) {
    return readWholeFileInto<std::vector<std::uint8_t>>(path);
}

}  // namespace tessaron::core
