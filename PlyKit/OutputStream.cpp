#include "PlyKit/OutputStream.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

namespace plykit {

std::unique_ptr<FileOutputStream> FileOutputStream::create(const std::filesystem::path& path, std::string& openError) {
    int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (descriptor < 0) {
        openError = std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<FileOutputStream>(new FileOutputStream(descriptor));
}

FileOutputStream::~FileOutputStream() { close(); }

std::ptrdiff_t FileOutputStream::write(const std::uint8_t* bytes, std::size_t length) {
    if (descriptor_ < 0) {
        error_ = "stream is closed";
        return -1;
    }
    if (length > std::size_t(std::numeric_limits<std::ptrdiff_t>::max())) length = std::numeric_limits<std::ptrdiff_t>::max();
    std::size_t written = 0;
    while (written < length) {
        ssize_t count = ::write(descriptor_, bytes + written, length - written);
        if (count < 0) {
            if (errno == EINTR) continue;
            error_ = std::strerror(errno);
            return -1;
        }
        if (count == 0) break;
        written += static_cast<std::size_t>(count);
    }
    return static_cast<std::ptrdiff_t>(written);
}

void FileOutputStream::close() {
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = -1;
}

std::ptrdiff_t MemoryOutputStream::write(const std::uint8_t* bytes, std::size_t length) {
    bytes_.insert(bytes_.end(), bytes, bytes + length);
    return static_cast<std::ptrdiff_t>(length);
}

std::optional<std::vector<std::uint8_t>> MemoryOutputStream::dataWrittenToMemory() {
    if (!closed_) return std::nullopt;
    // Asked once, when the buffered stream closes: hand the bytes over.
    return std::move(bytes_);
}

}  // namespace plykit
