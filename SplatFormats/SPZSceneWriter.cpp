#include "SplatFormats/SPZSceneWriter.hpp"

#include <algorithm>
#include <string_view>

#include "core/AtomicFile.hpp"
#include "spz/GaussianCloud.hpp"
#include "spz/Gzip.hpp"
#include "spz/SpzHeader.hpp"

namespace splatformats {

namespace {

const spz::PackOptions packOptions{spz::CoordinateSystem::rdf};

template <typename Array>
void append(Array& to, const Array& from) {
    to.insert(to.end(), from.begin(), from.end());
}

}  // namespace

void SPZSceneWriter::start(std::int64_t numPoints) {
    if (packed_) throw Error(ErrorKind::alreadyStarted, "The SPZ writer has already been started");
    if (numPoints < 0 || numPoints > std::int64_t(spz::SpzHeader::maximumPointCount))
        throw Error(ErrorKind::tooManyPoints, "An SPZ file holds at most 10000000 points, not " + std::to_string(numPoints));
    totalPoints_ = std::size_t(numPoints);
    currentShDegree_ = SHDegree::sh0;
    shDim_ = 0;
    spz::PackedGaussians packed;
    packed.alphas.reserve(totalPoints_);
    packed.colors.reserve(3 * totalPoints_);
    packed.scales.reserve(3 * totalPoints_);
    packed.rotations.reserve(4 * totalPoints_);
    positions_.clear();
    positions_.reserve(3 * totalPoints_);
    packed_ = std::move(packed);
}

void SPZSceneWriter::write(const std::vector<SplatPoint>& points) {
    if (closed_) throw Error(ErrorKind::cannotWriteAfterClose, "Cannot write to an SPZ writer after closing it");
    if (!packed_) throw Error(ErrorKind::notStarted, "The SPZ writer has not been started");
    if (pointsWritten_ + points.size() > totalPoints_)
        throw Error(ErrorKind::tooManyPoints, "Writing " + std::to_string(points.size()) + " more points would exceed the " +
                                                  std::to_string(totalPoints_) + " announced");
    if (points.empty()) return;
    SHDegree degree = currentShDegree_;
    for (const auto& point : points) degree = std::max(degree, point.color.shDegree());
    if (degree > currentShDegree_) upgradeSHDegree(degree);

    // The batch as a cloud of its own, packed at once; its positions stay
    // zero there and are kept as floats until close().
    spz::GaussianCloud cloud;
    cloud.shDegree = int(currentShDegree_);
    cloud.resize(std::int32_t(points.size()));
    for (std::size_t p = 0; p < points.size(); ++p) {
        const SplatPoint& point = points[p];
        positions_.insert(positions_.end(), point.position.begin(), point.position.end());
        Vector3 logScale = point.scale.asExponent();
        std::copy(logScale.begin(), logScale.end(), cloud.scales.begin() + std::ptrdiff_t(3 * p));
        cloud.rotations[4 * p] = point.rotation.x;
        cloud.rotations[4 * p + 1] = point.rotation.y;
        cloud.rotations[4 * p + 2] = point.rotation.z;
        cloud.rotations[4 * p + 3] = point.rotation.w;
        cloud.alphas[p] = point.opacity.asLogitFloat();
        SHCoefficients triples = point.color.asSphericalHarmonicFloat();
        Vector3 dc = triples.empty() ? Vector3{0, 0, 0} : triples[0];
        std::copy(dc.begin(), dc.end(), cloud.colors.begin() + std::ptrdiff_t(3 * p));
        float* sh = cloud.sh.data() + 3 * shDim_ * p;
        for (std::size_t k = 0; k < shDim_; ++k)
            for (std::size_t channel = 0; channel < 3; ++channel)
                sh[3 * k + channel] = k + 1 < triples.size() ? triples[k + 1][channel] : 0.0f;
    }
    spz::PackedGaussians batch = spz::packGaussians(cloud, packOptions);
    spz::PackedGaussians& packed = *packed_;
    append(packed.alphas, batch.alphas);
    append(packed.colors, batch.colors);
    append(packed.scales, batch.scales);
    append(packed.rotations, batch.rotations);
    append(packed.sh, batch.sh);
    pointsWritten_ += points.size();
}

void SPZSceneWriter::upgradeSHDegree(SHDegree degree) {
    std::size_t newDim = std::size_t(spz::SpzHeader::shDimension(int(degree)));
    if (newDim <= shDim_) return;
    // A zero coefficient packs as 128: the earlier points get those.
    constexpr std::uint8_t packedZero = 128;
    spz::Bytes& sh = packed_->sh;
    spz::Bytes widened;
    widened.reserve(totalPoints_ * newDim * 3);
    widened.resize(pointsWritten_ * newDim * 3, packedZero);
    for (std::size_t p = 0; p < pointsWritten_; ++p)
        std::copy_n(sh.begin() + std::ptrdiff_t(p * shDim_ * 3), shDim_ * 3, widened.begin() + std::ptrdiff_t(p * newDim * 3));
    sh = std::move(widened);
    currentShDegree_ = degree;
    shDim_ = newDim;
}

void SPZSceneWriter::close() {
    if (closed_) return;
    closed_ = true;
    if (!packed_) return;

    spz::PackedGaussians& packed = *packed_;
    // Points announced but never written have no defined packing: leave them out.
    packed.numPoints = std::int32_t(pointsWritten_);
    packed.shDegree = int(currentShDegree_);
    spz::Bytes bytes;
    try {
        spz::PackedPositions positions = spz::packPositions(positions_, packOptions);
        packed.positions = std::move(positions.bytes);
        packed.fractionalBits = positions.fractionalBits;
        positions_ = {};
        bytes = spz::compressGzipped(spz::serializePackedGaussians(packed));
        if (const auto* path = destination_.filePath())
            tessaron::core::AtomicFile::write(*path,
                                              std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    } catch (const std::exception& error) {
        throw Error(ErrorKind::writeError, error.what(), std::current_exception());
    }
    if (!destination_.filePath()) writtenData_ = std::move(bytes);
    packed_.reset();
}

}  // namespace splatformats
