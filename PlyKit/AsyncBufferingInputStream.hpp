#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "PlyKit/InputStream.hpp"
#include "PlyKit/ReaderSource.hpp"
#include "PlyKit/StreamError.hpp"
#include "core/Error.hpp"

namespace plykit {

// Hands out the input in chunks of at most `bufferSize` bytes and takes
// chunks back (a stack: the last one handed back comes first). Copies share
// one StreamReader; its operations run one at a time under its lock, which
// keeps them in order as a serial queue would.
class AsyncBufferingInputStream {
public:
    using Chunk = std::vector<std::uint8_t>;

    // The one error type of both buffering streams.
    using StreamErrorKind = plykit::StreamErrorKind;
    using StreamError = plykit::StreamError;

    class StreamReader {
    public:
        StreamReader(std::unique_ptr<InputStream> stream, std::size_t bufferSize);
        ~StreamReader();
        StreamReader(const StreamReader&) = delete;
        StreamReader& operator=(const StreamReader&) = delete;

        // The next chunk, or none at the end of the input. Throws
        // CancellationError when `stopToken` asks to stop (nothing changes),
        // StreamError readFailed or unexpectedReadResult (the stream closes).
        std::optional<Chunk> read(std::stop_token stopToken = {});
        // An empty chunk is ignored.
        void pushback(Chunk chunk);
        // Bytes still to come (pushed back plus the stream's), when known.
        std::optional<std::uint64_t> remainingBytes() const;

    private:
        // `stream_`, `pushedbackData_`, `isOpen_` and `isClosed_` are guarded
        // by `mutex_`.
        mutable std::mutex mutex_;
        std::unique_ptr<InputStream> stream_;
        std::size_t bufferSize_;
        std::vector<Chunk> pushedbackData_;
        bool isOpen_ = false;
        bool isClosed_ = false;
    };

    class Iterator {
    public:
        explicit Iterator(std::shared_ptr<StreamReader> reader) : reader_(std::move(reader)) {}
        std::optional<Chunk> next(std::stop_token stopToken = {}) { return reader_->read(std::move(stopToken)); }
        void pushback(Chunk chunk) { reader_->pushback(std::move(chunk)); }
        const std::shared_ptr<StreamReader>& reader() const noexcept { return reader_; }

    private:
        std::shared_ptr<StreamReader> reader_;
    };

    // Over an unopened stream; does not throw.
    AsyncBufferingInputStream(std::unique_ptr<InputStream> stream, std::size_t bufferSize);
    // Over the source's stream; the source's error passes on.
    AsyncBufferingInputStream(const ReaderSource& source, std::size_t bufferSize);

    Iterator makeIterator() const { return Iterator(reader_); }
    const std::shared_ptr<StreamReader>& reader() const noexcept { return reader_; }

private:
    std::shared_ptr<StreamReader> reader_;
};

}  // namespace plykit
