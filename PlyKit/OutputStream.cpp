#include "PlyKit/OutputStream.hpp"

#include <limits>

namespace plykit {

std::unique_ptr<FileOutputStream> FileOutputStream::create(const std::filesystem::path& path, std::string& openError) {
    try {
        return std::unique_ptr<FileOutputStream>(
            new FileOutputStream(std::make_unique<tessaron::core::AtomicFile::Writer>(path)));
    } catch (const tessaron::core::AtomicFile::WriteError& error) {
        openError = error.code().message();
        return nullptr;
    }
}

FileOutputStream::~FileOutputStream() { abandon(); }

std::ptrdiff_t FileOutputStream::write(const std::uint8_t* bytes, std::size_t length) {
    if (failed_ || file_->isFinished()) {
        error_ = "stream is closed";
        return -1;
    }
    if (length > std::size_t(std::numeric_limits<std::ptrdiff_t>::max())) length = std::numeric_limits<std::ptrdiff_t>::max();
    try {
        file_->write(std::string_view(reinterpret_cast<const char*>(bytes), length));
    } catch (const tessaron::core::AtomicFile::WriteError& error) {
        failed_ = true;
        error_ = error.code().message();
        return -1;
    }
    return static_cast<std::ptrdiff_t>(length);
}

void FileOutputStream::close() {
    if (file_->isFinished()) return;
    if (failed_) {
        file_->abandon();
        return;
    }
    file_->commit();
}

void FileOutputStream::abandon() { file_->abandon(); }

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
