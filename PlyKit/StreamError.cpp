#include "PlyKit/StreamError.hpp"

namespace plykit {

namespace {

std::string describe(StreamErrorKind kind, StreamDirection direction, const std::string& detail) {
    const std::string end = direction == StreamDirection::input ? "input" : "output";
    switch (kind) {
        case StreamErrorKind::cannotOpenSource: return "Cannot open the input " + detail;
        case StreamErrorKind::readFailed: return detail.empty() ? "Reading the input failed" : "Reading the input failed: " + detail;
        case StreamErrorKind::unexpectedReadResult: return "Unexpected result " + detail + " reading the input";
        case StreamErrorKind::eof: return "End of the input";
        case StreamErrorKind::closed: return "The " + end + " is closed";
        case StreamErrorKind::cancelled: return "Reading the input was cancelled";
        case StreamErrorKind::writeFailed:
            return detail.empty() ? "Writing the output failed" : "Writing the output failed: " + detail;
        case StreamErrorKind::streamFull: return "The output accepts no more bytes";
    }
    return "Stream error";
}

}  // namespace

StreamError::StreamError(Kind kind, StreamDirection direction, std::string detail)
    : ErrorOf(kind, describe(kind, direction, detail)), detail_(std::move(detail)) {}

OpenError::OpenError(std::filesystem::path url, StreamDirection direction, const std::string& reason)
    : ErrorOf(OpenErrorKind::cannotOpen, "Cannot open " + url.string() +
                                             (direction == StreamDirection::input ? " for reading: " : " for writing: ") +
                                             reason),
      url_(std::move(url)) {}

}  // namespace plykit
