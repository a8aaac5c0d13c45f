#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "PlyKit/OutputStream.hpp"
#include "PlyKit/WriterDestination.hpp"
#include "PlyKit/StreamError.hpp"
#include "core/Error.hpp"

namespace plykit {

// Collects bytes in a fixed buffer and passes them to the platform stream in
// whole buffers, except on flush() and close(). Copies share one
// StreamWriter; its operations run one at a time under its lock, which
// keeps them in order as a serial queue would.
class AsyncBufferingOutputStream {
public:
    // The one error type of both buffering streams.
    using StreamErrorKind = plykit::StreamErrorKind;
    using StreamError = plykit::StreamError;

    class StreamWriter {
    public:
        StreamWriter(std::unique_ptr<OutputStream> stream, std::size_t bufferSize);
        // Closes the stream without flushing: buffered bytes are lost.
        ~StreamWriter();
        StreamWriter(const StreamWriter&) = delete;
        StreamWriter& operator=(const StreamWriter&) = delete;

        void write(std::span<const std::uint8_t> bytes);
        void flush();
        // A second close does nothing; a failed flush leaves the writer open.
        void close();
        std::optional<std::vector<std::uint8_t>> writtenData() const;
        std::size_t bufferOffset() const;

    private:
        void passToStream(const std::uint8_t* bytes, std::size_t length);  // needs mutex_

        // Every field is guarded by `mutex_`.
        mutable std::mutex mutex_;
        std::unique_ptr<OutputStream> stream_;
        std::size_t bufferSize_;
        std::vector<std::uint8_t> buffer_;
        std::size_t bufferOffset_ = 0;
        bool isOpen_ = false;
        bool isClosed_ = false;
        std::optional<std::vector<std::uint8_t>> writtenData_;
    };

    // Throws the destination's error when its stream cannot be made; the
    // stream itself is opened by the first write.
    AsyncBufferingOutputStream(WriterDestination destination, std::size_t bufferSize);

    void write(std::span<const std::uint8_t> bytes) { writer_->write(bytes); }
    void write(std::string_view text) {
        writer_->write({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    }
    void flush() { writer_->flush(); }
    void close() { writer_->close(); }

    const WriterDestination& destination() const noexcept { return destination_; }
    // All bytes written to a memory destination, after close(); otherwise none.
    std::optional<std::vector<std::uint8_t>> writtenData() const { return writer_->writtenData(); }
    const std::shared_ptr<StreamWriter>& writer() const noexcept { return writer_; }

private:
    std::shared_ptr<StreamWriter> writer_;
    WriterDestination destination_;
};

}  // namespace plykit
