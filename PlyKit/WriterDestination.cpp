#include "PlyKit/WriterDestination.hpp"

namespace plykit {

WriterDestination WriterDestination::file(std::filesystem::path path) { return WriterDestination(std::move(path)); }

WriterDestination WriterDestination::memory() { return WriterDestination(std::nullopt); }

std::unique_ptr<OutputStream> WriterDestination::outputStream() const {
    if (path_) {
        std::string reason;
        auto stream = FileOutputStream::create(*path_, reason);
        if (!stream) throw Error(*path_, StreamDirection::output, reason);
        return stream;
    }
    return std::make_unique<MemoryOutputStream>();
}

}  // namespace plykit
