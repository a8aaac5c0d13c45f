#include "SplatFormats/DotSplatSceneWriter.hpp"

#include <algorithm>

#include "SplatFormats/DotSplatEncodedPoint.hpp"

namespace splatformats {

DotSplatSceneWriter::DotSplatSceneWriter(plykit::WriterDestination destination)
    : outputStream_(std::move(destination), bufferSize), buffer_(bufferSize) {}

DotSplatSceneWriter::DotSplatSceneWriter(const std::filesystem::path& path)
    : DotSplatSceneWriter(plykit::WriterDestination::file(path)) {}

void DotSplatSceneWriter::write(const std::vector<SplatPoint>& points) {
    if (closed_) throw Error(ErrorKind::cannotWriteAfterClose, "Cannot write to a .splat writer after closing it");
    constexpr std::size_t pointsPerPass = bufferSize / DotSplatEncodedPoint::byteWidth;
    for (std::size_t first = 0; first < points.size(); first += pointsPerPass) {
        std::size_t count = std::min(pointsPerPass, points.size() - first);
        for (std::size_t index = 0; index < count; ++index)
            DotSplatEncodedPoint(points[first + index]).store(buffer_.data() + index * DotSplatEncodedPoint::byteWidth);
        outputStream_.write(std::span<const std::uint8_t>(buffer_.data(), count * DotSplatEncodedPoint::byteWidth));
    }
}

void DotSplatSceneWriter::close() {
    if (closed_) return;
    closed_ = true;
    buffer_ = {};
    outputStream_.close();
}

std::optional<ByteBuffer> DotSplatSceneWriter::writtenData() const { return outputStream_.writtenData(); }

}  // namespace splatformats
