#include "core/AtomicFile.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sstream>
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

std::string readWholeFile(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) throw Error("Could not read " + path.string() + ": " + systemMessage(errno));
    std::ostringstream contents;
    contents << stream.rdbuf();
    if (stream.bad()) throw Error("Could not read " + path.string());
    return contents.str();
}

}  // namespace tessaron::core
