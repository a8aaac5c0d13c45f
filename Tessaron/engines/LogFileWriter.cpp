#include "engines/LogFileWriter.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <system_error>

namespace tessaron::engines {

namespace {

// Writes all of `bytes`, resuming after short writes and interruptions.
bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes.remove_prefix(size_t(written));
    }
    return true;
}

}  // namespace

std::unique_ptr<LogFileWriter> LogFileWriter::create(const std::filesystem::path& path, const std::string& header) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    if (!writeAll(fd, header)) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<LogFileWriter>(new LogFileWriter(fd));
}

std::unique_ptr<LogFileWriter> LogFileWriter::rotate(const std::filesystem::path& folder, const std::string& header) {
    const auto current = folder / "current_run.md";
    const auto previous = folder / "previous_run.md";
    // Each step may fail harmlessly (the folder exists, there is no earlier
    // log yet); only creating the new log decides the outcome.
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    std::filesystem::remove(previous, ignored);
    std::filesystem::rename(current, previous, ignored);
    return create(current, header);
}

LogFileWriter::LogFileWriter(int handle) : handle_(handle) {}

LogFileWriter::~LogFileWriter() {
    // Queued writes must land before the file closes.
    queue_.sync([] {});
    close();
}

void LogFileWriter::write(const std::string& line) {
    queue_.async([this, line] { append(line); });
}

void LogFileWriter::append(const std::string& line) {
    std::lock_guard lock(handleMutex_);
    if (handle_ < 0) return;
    std::string bytes;
    bytes.reserve(line.size() + 1);
    bytes.append(line);
    bytes.push_back('\n');
    if (!writeAll(handle_, bytes)) {
        didFail_ = true;
        ::close(handle_);  // a close error adds nothing to the failure already recorded
        handle_ = -1;
    }
}

void LogFileWriter::close() {
    std::lock_guard lock(handleMutex_);
    if (handle_ < 0) return;
    ::close(handle_);  // nothing more is written through it, so a close error changes nothing
    handle_ = -1;
}

bool LogFileWriter::didFail() const {
    std::lock_guard lock(handleMutex_);
    return didFail_;
}

}  // namespace tessaron::engines
