#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <vector>

#include "PlyKit/WriterDestination.hpp"
#include "SplatFormats/SplatSceneWriter.hpp"
#include "core/Error.hpp"
#include "spz/GaussianCloud.hpp"

namespace splatformats {

// Packs points as they come and saves them as one SPZ file (version 3, from
// the application's RDF into SPZ's RUB) when closed; nothing is written
// before. Only the packed arrays are held, and the positions as floats: their
// fixed-point scale depends on them all. Closing after fewer points than
// announced saves the points written.
class SPZSceneWriter final : public SplatSceneWriter {
public:
    enum class ErrorKind { writeError, cannotWriteAfterClose, notStarted, alreadyStarted, tooManyPoints };
    class Error : public tessaron::core::ErrorOf<ErrorKind> {
    public:
        Error(Kind kind, const std::string& description, std::exception_ptr underlying = nullptr)
            : ErrorOf(kind, description), underlying_(std::move(underlying)) {}
        // What made packing, compressing or writing fail (writeError).
        const std::exception_ptr& underlying() const noexcept { return underlying_; }

    private:
        std::exception_ptr underlying_;
    };

    explicit SPZSceneWriter(plykit::WriterDestination destination) : destination_(std::move(destination)) {}
    explicit SPZSceneWriter(const std::filesystem::path& path) : destination_(plykit::WriterDestination::file(path)) {}

    // Refuses a count above the format's 10,000,000 points (or below 0)
    // before anything is held or written.
    void start(std::int64_t numPoints);
    void write(const std::vector<SplatPoint>& points) override;
    // A failure leaves the writer closed, still holding the points.
    void close() override;
    std::optional<ByteBuffer> writtenData() const override { return writtenData_; }

private:
    void upgradeSHDegree(SHDegree degree);

    // Used from one caller at a time, like every writer.
    plykit::WriterDestination destination_;
    std::optional<spz::PackedGaussians> packed_;  // every array but the positions
    std::vector<float> positions_;                 // x, y, z per point, in RDF
    SHDegree currentShDegree_ = SHDegree::sh0;
    std::size_t shDim_ = 0;
    std::size_t totalPoints_ = 0;
    std::size_t pointsWritten_ = 0;
    bool closed_ = false;
    std::optional<ByteBuffer> writtenData_;
};

}  // namespace splatformats
