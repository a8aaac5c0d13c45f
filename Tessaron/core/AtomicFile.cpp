#include "core/AtomicFile.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "core/RegularFile.hpp"

namespace tessaron::core {

namespace {

std::error_code systemCode(int code) { return {code, std::generic_category()}; }

constexpr std::string_view temporaryMark = ".tmp-";

// ".<name>.tmp-<pid>-<8 hex digits>": the pid tells a temporary that a
// killed writer left from one still being written; the random part keeps
// two writers of one process apart.
std::string temporaryName(const std::filesystem::path& target) {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    char suffix[40];
    std::snprintf(suffix, sizeof suffix, "%ld-%08llx", static_cast<long>(::getpid()),
                  static_cast<unsigned long long>(generator() & 0xffffffffULL));
    return std::string(".").append(target.filename().string()).append(temporaryMark).append(suffix);
}

bool allOf(std::string_view text, bool (*accepted)(char)) {
    return !text.empty() && std::all_of(text.begin(), text.end(), accepted);
}

}  // namespace

std::optional<long> AtomicFile::temporaryWriterProcess(std::string_view name) {
    const size_t mark = name.rfind(temporaryMark);
    // A hidden file with at least one character of the target's name.
    if (mark == std::string_view::npos || mark < 2 || name.front() != '.') return std::nullopt;
    std::string_view suffix = name.substr(mark + temporaryMark.size());
    const size_t dash = suffix.find('-');
    if (dash == std::string_view::npos) return std::nullopt;
    std::string_view digits = suffix.substr(0, dash), random = suffix.substr(dash + 1);
    if (digits.size() > 9 || !allOf(digits, [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
    if (random.size() != 8 || !allOf(random, [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }))
        return std::nullopt;
    long process = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), process);
    if (process < 1) return std::nullopt;
    return process;
}

std::filesystem::path AtomicFile::replaceableTarget(const std::filesystem::path& target, LinkAtTarget links) {
    struct stat status {};
    if (links == LinkAtTarget::replace) {
        // rename(2) replaces a link itself, never what it names.
        if (::lstat(target.c_str(), &status) != 0 || S_ISLNK(status.st_mode)) return target;
        if (std::error_code kind = notRegularFileError(status.st_mode)) throw WriteError(target, kind);
        return target;
    }
    // The rename replaces what the name points at: a symbolic link is
    // followed to its file, and a FIFO or a device (/dev/stdout) is never
    // replaced by a regular file.
    if (::stat(target.c_str(), &status) != 0) return target;
    if (std::error_code kind = notRegularFileError(status.st_mode)) throw WriteError(target, kind);
    std::error_code ignored;
    if (!std::filesystem::is_symlink(target, ignored)) return target;
    std::filesystem::path resolved = std::filesystem::canonical(target, ignored);
    return ignored ? target : resolved;
}

AtomicFile::Writer::Writer(const std::filesystem::path& target, LinkAtTarget links)
    : target_(replaceableTarget(target, links)) {
    std::filesystem::path folder = target_.parent_path().empty() ? std::filesystem::path(".") : target_.parent_path();
    temporary_ = folder / temporaryName(target_);
    descriptor_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (descriptor_ < 0) throw WriteError(target_, systemCode(errno));
}

AtomicFile::Writer::~Writer() { abandon(); }

void AtomicFile::Writer::abandon() noexcept {
    if (descriptor_ < 0) return;
    ::close(descriptor_);
    ::unlink(temporary_.c_str());
    descriptor_ = -1;
}

void AtomicFile::Writer::fail(int code) {
    abandon();
    throw WriteError(target_, systemCode(code));
}

void AtomicFile::Writer::write(std::string_view bytes) {
    if (descriptor_ < 0) throw WriteError(target_, systemCode(EBADF));
    size_t written = 0;
    while (written < bytes.size()) {
        ssize_t result = ::write(descriptor_, bytes.data() + written, bytes.size() - written);
        if (result < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        written += size_t(result);
    }
    // The disk starts on every few megabytes as they come, so that the flush
    // in commit() waits for the last of them only, not for the whole file.
    constexpr off_t writebackStep = off_t(8) << 20;
    written_ += off_t(bytes.size());
    if (written_ - writebackStart_ >= writebackStep) {
        // Only a hint: where it is not supported, commit() flushes it all.
        (void)::sync_file_range(descriptor_, writebackStart_, written_ - writebackStart_, SYNC_FILE_RANGE_WRITE);
        writebackStart_ = written_;
    }
}

void AtomicFile::Writer::commit() {
    if (descriptor_ < 0) throw WriteError(target_, systemCode(EBADF));
    if (::fsync(descriptor_) != 0) fail(errno);
    int descriptor = descriptor_;
    descriptor_ = -1;
    if (::close(descriptor) != 0 || ::rename(temporary_.c_str(), target_.c_str()) != 0) {
        int code = errno;
        ::unlink(temporary_.c_str());
        throw WriteError(target_, systemCode(code));
    }
}

void AtomicFile::write(const std::filesystem::path& target, std::string_view bytes, LinkAtTarget links) {
    Writer writer(target, links);
    writer.write(bytes);
    writer.commit();
}

namespace {

template <typename Buffer>
Buffer readWholeFileInto(const std::filesystem::path& path, std::uint64_t maximumBytes) {
    auto fail = [&](std::error_code code) -> Buffer { throw Error("Could not read " + path.string() + ": " + code.message()); };
    auto tooLarge = [&](std::uint64_t size) -> Buffer {
        throw Error("Could not read " + path.string() + ": it holds " + std::to_string(size) + " bytes, more than the " +
                    std::to_string(maximumBytes) + " such a file can have");
    };
    RegularFile file = RegularFile::openForReading(path);
    if (!file.isOpen()) return fail(file.error());
    if (file.size() > maximumBytes) return tooLarge(file.size());
    // One spare byte lets the end of file show without growing the buffer.
    Buffer bytes(file.size() > 0 ? size_t(file.size()) + 1 : 1, 0);
    size_t filled = 0;
    for (;;) {
        // A file that grew since it was opened (or reports no size, as /proc
        // files do) is read to its end, within the bound.
        if (filled == bytes.size()) {
            if (filled > maximumBytes) return tooLarge(filled);
            bytes.resize(bytes.size() + (size_t(1) << 16));
        }
        ssize_t count = ::read(file.descriptor(), bytes.data() + filled, bytes.size() - filled);
        if (count < 0) {
            if (errno == EINTR) continue;
            return fail(systemCode(errno));
        }
        if (count == 0) break;
        filled += size_t(count);
    }
    if (filled > maximumBytes) return tooLarge(filled);
    bytes.resize(filled);
    return bytes;
}

}  // namespace

std::string readWholeFile(const std::filesystem::path& path, std::uint64_t maximumBytes) {
    return readWholeFileInto<std::string>(path, maximumBytes);
}

std::vector<std::uint8_t> readWholeFileBytes(const std::filesystem::path& path, std::uint64_t maximumBytes) {
    return readWholeFileInto<std::vector<std::uint8_t>>(path, maximumBytes);
}

}  // namespace tessaron::core
