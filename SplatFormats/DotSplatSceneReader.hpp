#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "PlyKit/ReaderSource.hpp"
#include "SplatFormats/SplatSceneReader.hpp"
#include "core/Error.hpp"

namespace splatformats {

// Reads a .splat file: 32-byte records, one per point, as many as the input
// holds; one batch per 16 KiB input chunk.
class DotSplatSceneReader final : public SplatSceneReader {
public:
    static constexpr std::size_t chunkSize = 16384;

    enum class ErrorKind { readError, unexpectedEndOfFile };
    class Error : public tessaron::core::ErrorOf<ErrorKind> {
    public:
        using ErrorOf::ErrorOf;
    };

    explicit DotSplatSceneReader(const std::filesystem::path& path);
    explicit DotSplatSceneReader(std::vector<std::uint8_t> bytes);

    // Opening the source happens here; its plykit::ReaderSource::Error is
    // thrown. A read failure while streaming ends the sequence with readError;
    // a trailing partial record, after the whole ones, with unexpectedEndOfFile.
    SplatBatchSequence read() override;

private:
    plykit::ReaderSource source_;
};

}  // namespace splatformats
