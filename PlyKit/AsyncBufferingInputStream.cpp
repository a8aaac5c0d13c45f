#include "PlyKit/AsyncBufferingInputStream.hpp"

namespace plykit {

AsyncBufferingInputStream::StreamReader::StreamReader(std::unique_ptr<InputStream> stream, std::size_t bufferSize)
    : stream_(std::move(stream)), bufferSize_(bufferSize == 0 ? 1 : bufferSize) {}

AsyncBufferingInputStream::StreamReader::~StreamReader() {
    if (isOpen_ && !isClosed_) stream_->close();
}

std::optional<AsyncBufferingInputStream::Chunk> AsyncBufferingInputStream::StreamReader::read(
    std::stop_token stopToken) {
    std::lock_guard lock(mutex_);
    if (!pushedbackData_.empty()) {
        Chunk chunk = std::move(pushedbackData_.back());
        pushedbackData_.pop_back();
        return chunk;
    }
    if (isClosed_) return std::nullopt;
    if (!isOpen_) {
        stream_->open();
        isOpen_ = true;
    }
    if (stopToken.stop_requested()) throw tessaron::core::CancellationError();

    // The chunk is the read block itself, trimmed: the caller owns it.
    Chunk chunk(bufferSize_);
    std::ptrdiff_t result = stream_->read(chunk.data(), bufferSize_);
    if (result > 0) {
        chunk.resize(static_cast<std::size_t>(result));
        return chunk;
    }
    isClosed_ = true;
    std::string streamError = stream_->error();
    stream_->close();
    if (result == 0) return std::nullopt;
    if (result == -1) throw StreamError(StreamErrorKind::readFailed, StreamDirection::input, streamError);
    throw StreamError(StreamErrorKind::unexpectedReadResult, StreamDirection::input, std::to_string(result));
}

void AsyncBufferingInputStream::StreamReader::pushback(Chunk chunk) {
    if (chunk.empty()) return;
    std::lock_guard lock(mutex_);
    pushedbackData_.push_back(std::move(chunk));
}

std::optional<std::uint64_t> AsyncBufferingInputStream::StreamReader::remainingBytes() const {
    std::lock_guard lock(mutex_);
    std::uint64_t pushedBack = 0;
    for (const auto& chunk : pushedbackData_) pushedBack += chunk.size();
    if (isClosed_) return pushedBack;
    auto streamRemaining = stream_->remainingBytes();
    if (!streamRemaining) return std::nullopt;
    return pushedBack + *streamRemaining;
}

AsyncBufferingInputStream::AsyncBufferingInputStream(std::unique_ptr<InputStream> stream, std::size_t bufferSize)
    : reader_(std::make_shared<StreamReader>(std::move(stream), bufferSize)) {}

AsyncBufferingInputStream::AsyncBufferingInputStream(const ReaderSource& source, std::size_t bufferSize)
    : AsyncBufferingInputStream(source.inputStream(), bufferSize) {}

}  // namespace plykit
