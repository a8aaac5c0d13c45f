#include "PlyKit/ReaderSource.hpp"

namespace plykit {

ReaderSource ReaderSource::url(std::filesystem::path path) { return ReaderSource(std::move(path)); }

ReaderSource ReaderSource::memory(std::vector<std::uint8_t> bytes) {
    return ReaderSource(std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes)));
}

std::unique_ptr<InputStream> ReaderSource::inputStream() const {
    if (const auto* path = filePath()) {
        std::string reason;
        auto stream = FileInputStream::create(*path, reason);
        if (!stream) throw Error(*path, StreamDirection::input, reason);
        return stream;
    }
    return std::make_unique<MemoryInputStream>(std::get<Bytes>(value_));
}

}  // namespace plykit
