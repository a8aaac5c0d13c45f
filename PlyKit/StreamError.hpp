#pragma once

#include <filesystem>
#include <string>

#include "core/Error.hpp"

namespace plykit {

// Which way the bytes of a failed stream went.
enum class StreamDirection { input, output };

// A failure of one of the buffering streams, reading or writing.
enum class StreamErrorKind { cannotOpenSource, readFailed, unexpectedReadResult, eof, closed, cancelled, writeFailed, streamFull };

class StreamError : public tessaron::core::ErrorOf<StreamErrorKind> {
public:
    StreamError(Kind kind, StreamDirection direction, std::string detail = {});
    // The underlying error's text (readFailed, writeFailed) or the read
    // result (unexpectedReadResult), possibly empty.
    const std::string& detail() const noexcept { return detail_; }

private:
    std::string detail_;
};

// A file that a reader's source or a writer's destination cannot open.
enum class OpenErrorKind { cannotOpen };

class OpenError : public tessaron::core::ErrorOf<OpenErrorKind> {
public:
    OpenError(std::filesystem::path url, StreamDirection direction, const std::string& reason);
    const std::filesystem::path& url() const noexcept { return url_; }

private:
    std::filesystem::path url_;
};

}  // namespace plykit
