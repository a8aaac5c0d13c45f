#include "SplatFormats/SPZSceneWriter.hpp"

#include <algorithm>
#include <string_view>

#include "core/AtomicFile.hpp"
#include "spz/SpzHeader.hpp"

namespace splatformats {

void SPZSceneWriter::start(std::int64_t numPoints) {
    if (cloud_) throw Error(ErrorKind::alreadyStarted, "The SPZ writer has already been started");
    if (numPoints < 0 || numPoints > std::int64_t(spz::SpzHeader::maximumPointCount))
        throw Error(ErrorKind::tooManyPoints, "An SPZ file holds at most 10000000 points, not " + std::to_string(numPoints));
    totalPoints_ = std::size_t(numPoints);
    currentShDegree_ = SHDegree::sh0;
    shDim_ = 0;
    spz::GaussianCloud cloud;
    cloud.resize(std::int32_t(numPoints));
    cloud_ = std::move(cloud);
}

void SPZSceneWriter::write(const std::vector<SplatPoint>& points) {
    if (closed_) throw Error(ErrorKind::cannotWriteAfterClose, "Cannot write to an SPZ writer after closing it");
    if (!cloud_) throw Error(ErrorKind::notStarted, "The SPZ writer has not been started");
    if (pointsWritten_ + points.size() > totalPoints_)
        throw Error(ErrorKind::tooManyPoints, "Writing " + std::to_string(points.size()) + " more points would exceed the " +
                                                  std::to_string(totalPoints_) + " announced");
    SHDegree degree = currentShDegree_;
    for (const auto& point : points) degree = std::max(degree, point.color.shDegree());
    if (degree > currentShDegree_) upgradeSHDegree(degree);

    spz::GaussianCloud& cloud = *cloud_;
    for (const auto& point : points) {
        std::size_t p = pointsWritten_;
        std::copy(point.position.begin(), point.position.end(), cloud.positions.begin() + std::ptrdiff_t(3 * p));
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
        ++pointsWritten_;
    }
}

void SPZSceneWriter::upgradeSHDegree(SHDegree degree) {
    std::size_t newDim = std::size_t(spz::SpzHeader::shDimension(int(degree)));
    if (newDim <= shDim_) return;
    spz::GaussianCloud& cloud = *cloud_;
    std::vector<float> sh(totalPoints_ * newDim * 3, 0.0f);
    if (shDim_ >= 1)
        for (std::size_t p = 0; p < pointsWritten_; ++p)
            std::copy_n(cloud.sh.begin() + std::ptrdiff_t(p * shDim_ * 3), shDim_ * 3,
                        sh.begin() + std::ptrdiff_t(p * newDim * 3));
    cloud.sh = std::move(sh);
    cloud.shDegree = int(degree);
    currentShDegree_ = degree;
    shDim_ = newDim;
}

void SPZSceneWriter::close() {
    if (closed_) return;
    closed_ = true;
    if (!cloud_) return;

    spz::GaussianCloud& cloud = *cloud_;
    // Points announced but never written have no defined packing: leave them out.
    if (pointsWritten_ < totalPoints_) cloud.resize(std::int32_t(pointsWritten_));
    spz::Bytes bytes;
    try {
        bytes = spz::saveSpz(cloud, spz::PackOptions{spz::CoordinateSystem::rdf});
        if (const auto* path = destination_.filePath())
            tessaron::core::AtomicFile::write(*path,
                                              std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    } catch (const std::exception& error) {
        throw Error(ErrorKind::writeError, error.what(), std::current_exception());
    }
    if (!destination_.filePath()) writtenData_ = std::move(bytes);
    cloud_.reset();
}

}  // namespace splatformats
