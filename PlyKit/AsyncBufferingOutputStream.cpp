#include "PlyKit/AsyncBufferingOutputStream.hpp"

#include <algorithm>
#include <cstring>

namespace plykit {

AsyncBufferingOutputStream::StreamWriter::StreamWriter(std::unique_ptr<OutputStream> stream, std::size_t bufferSize)
    : stream_(std::move(stream)), bufferSize_(bufferSize == 0 ? 1 : bufferSize), buffer_(bufferSize_) {}

AsyncBufferingOutputStream::StreamWriter::~StreamWriter() {
    if (!isClosed_) stream_->close();
}

void AsyncBufferingOutputStream::StreamWriter::passToStream(const std::uint8_t* bytes, std::size_t length) {
    std::ptrdiff_t accepted = stream_->write(bytes, length);
    if (accepted == static_cast<std::ptrdiff_t>(length)) return;
    if (accepted == -1) throw StreamError(StreamErrorKind::writeFailed, StreamDirection::output, stream_->error());
    if (accepted == 0) throw StreamError(StreamErrorKind::streamFull, StreamDirection::output);
    throw StreamError(StreamErrorKind::writeFailed, StreamDirection::output);
}

void AsyncBufferingOutputStream::StreamWriter::write(std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    if (isClosed_) throw StreamError(StreamErrorKind::closed, StreamDirection::output);
    if (!isOpen_) {
        stream_->open();
        isOpen_ = true;
    }
    std::size_t position = 0;
    while (position < bytes.size()) {
        std::size_t left = bytes.size() - position;
        if (bufferOffset_ == 0 && left >= bufferSize_) {
            // A whole buffer's worth goes to the stream straight from the
            // caller's bytes: the same write call, without the copy.
            passToStream(bytes.data() + position, bufferSize_);
            position += bufferSize_;
            continue;
        }
        std::size_t count = std::min(bufferSize_ - bufferOffset_, left);
        std::memcpy(buffer_.data() + bufferOffset_, bytes.data() + position, count);
        bufferOffset_ += count;
        position += count;
        if (bufferOffset_ == bufferSize_) {
            passToStream(buffer_.data(), bufferSize_);
            bufferOffset_ = 0;
        }
    }
}

void AsyncBufferingOutputStream::StreamWriter::flush() {
    std::lock_guard lock(mutex_);
    if (bufferOffset_ == 0) return;
    passToStream(buffer_.data(), bufferOffset_);
    bufferOffset_ = 0;
}

void AsyncBufferingOutputStream::StreamWriter::close() {
    std::lock_guard lock(mutex_);
    if (isClosed_) return;
    if (bufferOffset_ > 0) {
        passToStream(buffer_.data(), bufferOffset_);
        bufferOffset_ = 0;
    }
    isClosed_ = true;
    stream_->close();
    writtenData_ = stream_->dataWrittenToMemory();
}

std::optional<std::vector<std::uint8_t>> AsyncBufferingOutputStream::StreamWriter::writtenData() const {
    std::lock_guard lock(mutex_);
    return writtenData_;
}

std::size_t AsyncBufferingOutputStream::StreamWriter::bufferOffset() const {
    std::lock_guard lock(mutex_);
    return bufferOffset_;
}

AsyncBufferingOutputStream::AsyncBufferingOutputStream(WriterDestination destination, std::size_t bufferSize)
    : writer_(std::make_shared<StreamWriter>(destination.outputStream(), bufferSize)),
      destination_(std::move(destination)) {}

}  // namespace plykit
