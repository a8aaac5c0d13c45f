#include "core/RegularFile.hpp"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaron::core {

namespace {

class FileKindCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "file kind"; }
    std::string message(int value) const override {
        switch (FileKindError(value)) {
            case FileKindError::fifo: return "is a FIFO, not a regular file";
            case FileKindError::characterDevice: return "is a character device, not a regular file";
            case FileKindError::blockDevice: return "is a block device, not a regular file";
            case FileKindError::socket: return "is a socket, not a regular file";
            case FileKindError::other: break;
        }
        return "is not a regular file";
    }
};

FileKindError kindOf(mode_t mode) {
    if (S_ISFIFO(mode)) return FileKindError::fifo;
    if (S_ISCHR(mode)) return FileKindError::characterDevice;
    if (S_ISBLK(mode)) return FileKindError::blockDevice;
    if (S_ISSOCK(mode)) return FileKindError::socket;
    return FileKindError::other;
}

}  // namespace

const std::error_category& fileKindCategory() noexcept {
    static const FileKindCategory category;
    return category;
}

std::error_code make_error_code(FileKindError kind) noexcept { return {int(kind), fileKindCategory()}; }

std::error_code notRegularFileError(unsigned mode) noexcept {
    if (S_ISREG(mode)) return {};
    if (S_ISDIR(mode)) return {EISDIR, std::generic_category()};
    return make_error_code(kindOf(mode_t(mode)));
}

RegularFile RegularFile::openForReading(const std::filesystem::path& path) {
    RegularFile file;
    // O_NONBLOCK makes opening a FIFO without a writer return at once; the
    // kind check below then refuses it.
    int descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (descriptor < 0) {
        file.error_ = std::error_code(errno, std::generic_category());
        return file;
    }
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        file.error_ = std::error_code(errno, std::generic_category());
        ::close(descriptor);
        return file;
    }
    if (!S_ISREG(status.st_mode)) {
        file.error_ = notRegularFileError(status.st_mode);
        ::close(descriptor);
        return file;
    }
    // Reads of a regular file then behave as usual (blocking on slow media).
    int flags = ::fcntl(descriptor, F_GETFL);
    if (flags < 0 || ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        file.error_ = std::error_code(errno, std::generic_category());
        ::close(descriptor);
        return file;
    }
    file.descriptor_ = descriptor;
    file.size_ = std::uint64_t(status.st_size);
    return file;
}

RegularFile::RegularFile(RegularFile&& other) noexcept
    : descriptor_(other.descriptor_), size_(other.size_), error_(other.error_) {
    other.descriptor_ = -1;
}

RegularFile& RegularFile::operator=(RegularFile&& other) noexcept {
    if (this != &other) {
        if (descriptor_ >= 0) ::close(descriptor_);
        descriptor_ = other.descriptor_;
        size_ = other.size_;
        error_ = other.error_;
        other.descriptor_ = -1;
    }
    return *this;
}

RegularFile::~RegularFile() {
    if (descriptor_ >= 0) ::close(descriptor_);
}

int RegularFile::release() noexcept {
    int descriptor = descriptor_;
    descriptor_ = -1;
    return descriptor;
}

}  // namespace tessaron::core
