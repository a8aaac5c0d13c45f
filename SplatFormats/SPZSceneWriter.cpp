#include "SplatFormats/SPZSceneWriter.hpp"

#include <algorithm>
#include <optional>
#include <string_view>

#include "core/AtomicFile.hpp"
#include "core/ParallelFor.hpp"
#include "spz/GaussianCloud.hpp"
#include "spz/Gzip.hpp"
#include "spz/SpzHeader.hpp"

namespace splatformats {

namespace {

const spz::PackOptions packOptions{spz::CoordinateSystem::rdf};

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

    // Each point packed straight from its fields into the arrays, side by
    // side over runs of points; the positions are kept as floats until
    // close(), as their fixed-point scale depends on them all.
    const spz::CoordinateConverter converter = spz::coordinateConverter(packOptions.from, spz::CoordinateSystem::rub);
    spz::PackedGaussians& packed = *packed_;
    const std::size_t first = pointsWritten_;
    const std::size_t total = first + points.size();
    const std::size_t dimension = shDim_;
    positions_.resize(3 * total);
    packed.alphas.resize(total);
    packed.colors.resize(3 * total);
    packed.scales.resize(3 * total);
    packed.rotations.resize(4 * total);
    packed.sh.resize(3 * dimension * total);
    constexpr std::size_t run = 2048;
    tessaron::core::parallelFor((points.size() + run - 1) / run, [&](std::size_t runIndex) {
        const std::size_t end = std::min(points.size(), (runIndex + 1) * run);
        for (std::size_t p = runIndex * run; p < end; ++p) {
            const SplatPoint& point = points[p];
            const std::size_t index = first + p;
            std::copy(point.position.begin(), point.position.end(), positions_.begin() + std::ptrdiff_t(3 * index));
            const Vector3 logScale = point.scale.asExponent();
            for (std::size_t axis = 0; axis < 3; ++axis) packed.scales[3 * index + axis] = spz::packScale(logScale[axis]);
            packed.alphas[index] = spz::packAlpha(point.opacity.asLogitFloat());
            auto word = spz::packQuaternionSmallestThree(
                {point.rotation.x, point.rotation.y, point.rotation.z, point.rotation.w}, converter.flipQ);
            std::copy(word.begin(), word.end(), packed.rotations.begin() + std::ptrdiff_t(4 * index));
            // An 8-bit colour becomes its one harmonic triple; missing
            // higher-order triples pack as zero.
            std::optional<SHCoefficients> converted;
            if (point.color.kind() != SplatPoint::Color::Kind::sphericalHarmonicFloat)
                converted = point.color.asSphericalHarmonicFloat();
            const SHCoefficients& triples = converted ? *converted : point.color.sphericalHarmonics();
            const Vector3 dc = triples.empty() ? Vector3{0, 0, 0} : triples[0];
            for (std::size_t channel = 0; channel < 3; ++channel)
                packed.colors[3 * index + channel] = spz::packColor(dc[channel]);
            std::uint8_t* sh = packed.sh.data() + 3 * dimension * index;
            for (std::size_t k = 0; k < dimension; ++k)
                for (std::size_t channel = 0; channel < 3; ++channel)
                    sh[3 * k + channel] =
                        spz::packSH(k + 1 < triples.size() ? triples[k + 1][channel] : 0.0f, converter.flipSh[k], k);
        }
    });
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
