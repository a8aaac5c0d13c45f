#include "PlyKit/InputStream.hpp"

#include "core/RegularFile.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace plykit {

std::unique_ptr<FileInputStream> FileInputStream::create(const std::filesystem::path& path, std::string& openError) {
    auto file = tessaron::core::RegularFile::openForReading(path);
    if (!file.isOpen()) {
        openError = file.error().message();
        return nullptr;
    }
    std::uint64_t size = file.size();
    return std::unique_ptr<FileInputStream>(new FileInputStream(file.release(), size));
}

FileInputStream::FileInputStream(int descriptor, std::optional<std::uint64_t> size)
    : descriptor_(descriptor), size_(size) {}

FileInputStream::~FileInputStream() { close(); }

std::ptrdiff_t FileInputStream::read(std::uint8_t* buffer, std::size_t maxLength) {
    if (descriptor_ < 0) {
        error_ = "stream is closed";
        return -1;
    }
    maxLength = std::min<std::size_t>(maxLength, std::numeric_limits<std::ptrdiff_t>::max());
    for (;;) {
        ssize_t count = ::read(descriptor_, buffer, maxLength);
        if (count >= 0) {
            position_ += static_cast<std::uint64_t>(count);
            return count;
        }
        if (errno == EINTR) continue;
        error_ = std::strerror(errno);
        return -1;
    }
}

void FileInputStream::close() {
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = -1;
}

std::optional<std::uint64_t> FileInputStream::remainingBytes() const {
    if (!size_) return std::nullopt;
    return *size_ > position_ ? *size_ - position_ : 0;
}

std::ptrdiff_t MemoryInputStream::read(std::uint8_t* buffer, std::size_t maxLength) {
    std::size_t count = std::min(maxLength, bytes_->size() - position_);
    if (count > 0) std::memcpy(buffer, bytes_->data() + position_, count);
    position_ += count;
    return static_cast<std::ptrdiff_t>(count);
}

}  // namespace plykit
