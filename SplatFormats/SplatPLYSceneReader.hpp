#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "PlyKit/ReaderSource.hpp"
#include "SplatFormats/SplatSceneReader.hpp"
#include "core/Error.hpp"

namespace splatformats {

// Reads the "vertex" element of a Gaussian-splat PLY file: position, SH
// colour ("f_dc_*" and, for degree 3, "f_rest_0" to "f_rest_44") or 8-bit
// colour ("red", "green", "blue"), logit opacity, log scale and rotation.
// Points come one batch per run of vertices that the PLY reader hands over.
class SplatPLYSceneReader final : public SplatSceneReader {
public:
    enum class ErrorKind { unsupportedFileContents, internalConsistency };
    class Error : public tessaron::core::ErrorOf<ErrorKind> {
    public:
        Error(Kind kind, const std::optional<std::string>& message);
    };

    explicit SplatPLYSceneReader(const std::filesystem::path& path) : source_(plykit::ReaderSource::url(path)) {}
    explicit SplatPLYSceneReader(std::vector<std::uint8_t> bytes)
        : source_(plykit::ReaderSource::memory(std::move(bytes))) {}

    // How a binary body whose vertex holds scalars only is decoded: by the
    // vertex's byte layout, worked out once from the header (the default), or
    // property by property as every other file is. Both give the same points.
    enum class BodyDecoding { byLayout, perProperty };
    void setBodyDecoding(BodyDecoding decoding) noexcept { decoding_ = decoding; }

    // Throws what the PLY reader throws for the source and header, and
    // unsupportedFileContents when the vertex layout cannot be read.
    SplatBatchSequence read() override;

private:
    plykit::ReaderSource source_;
    BodyDecoding decoding_ = BodyDecoding::byLayout;
};

}  // namespace splatformats
