#include "SplatFormats/DotSplatSceneReader.hpp"

#include <memory>
#include <string>

#include "PlyKit/AsyncBufferingInputStream.hpp"
#include "SplatFormats/DotSplatEncodedPoint.hpp"

namespace splatformats {

namespace {

std::string sourceName(const plykit::ReaderSource& source) {
    const auto* path = source.filePath();
    return path ? path->string() : std::string("in-memory .splat data");
}

// The streaming state of one read: the input and the bytes of a record that
// a chunk boundary split.
struct DotSplatDecoding {
    plykit::AsyncBufferingInputStream::Iterator input;
    std::string name;
    std::vector<std::uint8_t> pending;
    std::uint64_t recordsDelivered = 0;

    bool appendNext(SplatBatch& batch) {
        for (;;) {
            std::optional<plykit::AsyncBufferingInputStream::Chunk> chunk;
            try {
                chunk = input.next();
            } catch (const tessaron::core::Error& error) {
                throw DotSplatSceneReader::Error(DotSplatSceneReader::ErrorKind::readError,
                                                 "Read error in " + name + ": " + error.what());
            }
            if (!chunk) {
                if (pending.empty()) return false;
                throw DotSplatSceneReader::Error(
                    DotSplatSceneReader::ErrorKind::unexpectedEndOfFile,
                    "Unexpected end of " + name + ": " + std::to_string(pending.size()) +
                        " bytes of a 32-byte record left after " + std::to_string(recordsDelivered) + " records");
            }
            const std::uint8_t* bytes = chunk->data();
            std::size_t available = chunk->size();
            if (!pending.empty()) {
                pending.insert(pending.end(), chunk->begin(), chunk->end());
                bytes = pending.data();
                available = pending.size();
            }
            std::size_t count = available / DotSplatEncodedPoint::byteWidth;
            if (count == 0) {
                if (pending.empty()) pending.assign(chunk->begin(), chunk->end());
                continue;
            }
            if (batch.empty()) batch.reserve(count);
            for (std::size_t record = 0; record < count; ++record)
                batch.push_back(DotSplatEncodedPoint(bytes, record * DotSplatEncodedPoint::byteWidth, false).splatPoint());
            std::vector<std::uint8_t> rest(bytes + count * DotSplatEncodedPoint::byteWidth, bytes + available);
            pending = std::move(rest);
            recordsDelivered += count;
            return true;
        }
    }
};

}  // namespace

DotSplatSceneReader::DotSplatSceneReader(const std::filesystem::path& path) : source_(plykit::ReaderSource::url(path)) {}

DotSplatSceneReader::DotSplatSceneReader(std::vector<std::uint8_t> bytes)
    : source_(plykit::ReaderSource::memory(std::move(bytes))) {}

SplatBatchSequence DotSplatSceneReader::read() {
    plykit::AsyncBufferingInputStream stream(source_, chunkSize);
    auto decoding = std::make_shared<DotSplatDecoding>(DotSplatDecoding{stream.makeIterator(), sourceName(source_), {}, 0});
    auto remaining = stream.reader()->remainingBytes();
    std::size_t expected = remaining ? std::size_t(*remaining / DotSplatEncodedPoint::byteWidth) : 0;
    return SplatBatchSequence([decoding](SplatBatch& batch) { return decoding->appendNext(batch); }, expected);
}

}  // namespace splatformats
