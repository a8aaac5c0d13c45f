#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "PlyKit/PLYElement.hpp"
#include "PlyKit/PLYWriter.hpp"
#include "PlyKit/WriterDestination.hpp"
#include "SplatFormats/SplatSceneWriter.hpp"
#include "core/Error.hpp"

namespace splatformats {

// Writes Gaussian-splat PLY files in the fixed layout of the training
// convention, all float32: x y z, nx ny nz, f_dc_0..2, f_rest_* (9, 24 or 45
// for degree 1, 2, 3), opacity, scale_0..2, rot_0..3.
class SplatPLYSceneWriter final : public SplatSceneWriter {
public:
    static constexpr unsigned defaultSphericalHarmonicDegree = 3;
    static constexpr bool defaultBinary = true;
    static constexpr std::size_t elementBufferSize = 1000;

    enum class ErrorKind { alreadyStarted, notStarted, cannotWriteAfterClose, unexpectedPoints, pointCountOutOfRange };
    class Error : public tessaron::core::ErrorOf<ErrorKind> {
    public:
        using ErrorOf::ErrorOf;
    };

    // The destination's error passes on when its stream cannot be made.
    explicit SplatPLYSceneWriter(plykit::WriterDestination destination);
    explicit SplatPLYSceneWriter(const std::filesystem::path& path);

    // Writes the header: binary little-endian or ASCII, one "vertex" element
    // of `pointCount` (which must fit 32 bits). Degrees other than 1 to 3
    // write no f_rest properties.
    void start(unsigned sphericalHarmonicDegree, bool binary, std::int64_t pointCount);
    void write(const std::vector<SplatPoint>& points) override;
    // Fails (after closing) when fewer points than announced were written.
    void close() override;
    std::optional<ByteBuffer> writtenData() const override { return plyWriter_.writtenData(); }

private:
    void convert(const SplatPoint& point, plykit::PLYElement& element) const;

    // Used from one caller at a time, like every writer.
    plykit::PLYWriter plyWriter_;
    std::size_t totalPointCount_ = 0;
    std::size_t pointsWritten_ = 0;
    bool closed_ = false;
    std::vector<plykit::PLYElement> elementBuffer_;  // reused for every batch
    std::optional<unsigned> sphericalHarmonicDegree_;  // set by start()
};

}  // namespace splatformats
