#include "SplatFormats/SPZSceneReader.hpp"

#include <algorithm>
#include <memory>

#include "spz/PackedGaussians.hpp"

namespace splatformats {

namespace {

// Appends the point, built in place: a scene is millions of them.
void appendPoint(const spz::UnpackedGaussian& u, std::size_t shDimension, SplatBatch& batch) {
    SHCoefficients triples;
    triples.push_back(u.color);
    for (std::size_t k = 0; k < shDimension; ++k) triples.push_back({u.shR[k], u.shG[k], u.shB[k]});
    batch.emplace_back(u.position, SplatPoint::Color::sphericalHarmonicFloat(triples),
                       SplatPoint::Opacity::logitFloat(u.alpha), SplatPoint::Scale::exponent(u.scale),
                       Quaternion{u.rotation[0], u.rotation[1], u.rotation[2], u.rotation[3]});
}

}  // namespace

SplatBatchSequence SPZSceneReader::read() {
    auto packed = std::make_shared<spz::PackedGaussians>();
    try {
        if (const auto* path = std::get_if<std::filesystem::path>(&source_))
            *packed = spz::loadSpzPacked(*path);
        else
            *packed = spz::loadSpzPacked(std::get<std::vector<std::uint8_t>>(source_));
    } catch (const std::exception& error) {
        throw Error(ErrorKind::readError, error.what(), std::current_exception());
    }

    auto converter = spz::coordinateConverter(spz::CoordinateSystem::rub, spz::CoordinateSystem::rdf);
    std::size_t shDimension = std::size_t(spz::SpzHeader::shDimension(packed->shDegree));
    auto nextPoint = std::make_shared<std::int32_t>(0);
    std::size_t count = std::size_t(packed->numPoints);
    return SplatBatchSequence(
        [packed, converter, shDimension, nextPoint](SplatBatch& batch) {
            std::int32_t first = *nextPoint;
            if (first >= packed->numPoints) return false;
            std::int32_t last = std::min(packed->numPoints, first + std::int32_t(batchSize));
            if (batch.empty()) batch.reserve(std::size_t(last - first));
            for (std::int32_t index = first; index < last; ++index)
                appendPoint(packed->unpack(index, converter), shDimension, batch);
            *nextPoint = last;
            return true;
        },
        count);
}

}  // namespace splatformats
