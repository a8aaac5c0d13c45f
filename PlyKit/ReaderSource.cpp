#include "PlyKit/ReaderSource.hpp"

namespace plykit {

ReaderSource::Error::Error(std::filesystem::path url, const std::string& reason)
    : ErrorOf(ErrorKind::cannotOpen, "Cannot open " + url.string() + " for reading: " + reason), url_(std::move(url)) {}

ReaderSource ReaderSource::url(std::filesystem::path path) { return ReaderSource(std::move(path)); }

ReaderSource ReaderSource::memory(std::vector<std::uint8_t> bytes) {
    return ReaderSource(std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes)));
}

std::unique_ptr<InputStream> ReaderSource::inputStream() const {
    if (const auto* path = filePath()) {
        std::string reason;
        auto stream = FileInputStream::create(*path, reason);
        if (!stream) throw Error(*path, reason);
        return stream;
    }
    return std::make_unique<MemoryInputStream>(std::get<Bytes>(value_));
}

}  // namespace plykit
