#include "PlyKit/WriterDestination.hpp"

namespace plykit {

WriterDestination::Error::Error(std::filesystem::path url, const std::string& reason)
    : ErrorOf(ErrorKind::cannotOpen, "Cannot open " + url.string() + " for writing: " + reason), url_(std::move(url)) {}

WriterDestination WriterDestination::file(std::filesystem::path path) { return WriterDestination(std::move(path)); }

WriterDestination WriterDestination::memory() { return WriterDestination(std::nullopt); }

std::unique_ptr<OutputStream> WriterDestination::outputStream() const {
    if (path_) {
        std::string reason;
        auto stream = FileOutputStream::create(*path_, reason);
        if (!stream) throw Error(*path_, reason);
        return stream;
    }
    return std::make_unique<MemoryOutputStream>();
}

}  // namespace plykit
