#include "SplatFormats/SPZSceneReader.hpp"

#include <algorithm>
#include <deque>
#include <memory>

#include "core/ParallelFor.hpp"
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

    // Batches are decoded a few at a time, side by side on the available
    // cores, and handed out one by one: only that handful is held decoded.
    struct Decoding {
        std::shared_ptr<spz::PackedGaussians> packed;
        spz::CoordinateConverter converter;
        std::size_t shDimension = 0;
        std::size_t nextPoint = 0;
        std::deque<SplatBatch> decoded;
    };
    auto decoding = std::make_shared<Decoding>();
    decoding->packed = packed;
    decoding->converter = spz::coordinateConverter(spz::CoordinateSystem::rub, spz::CoordinateSystem::rdf);
    decoding->shDimension = std::size_t(spz::SpzHeader::shDimension(packed->shDegree));
    std::size_t count = std::size_t(packed->numPoints);
    return SplatBatchSequence(
        [decoding, count](SplatBatch& batch) {
            if (decoding->decoded.empty()) {
                std::size_t first = decoding->nextPoint;
                if (first >= count) return false;
                std::size_t batches = std::min(tessaron::core::availableCPUs(), (count - first + batchSize - 1) / batchSize);
                decoding->decoded.resize(batches);
                tessaron::core::parallelFor(batches, [&](std::size_t index) {
                    std::size_t start = first + index * batchSize;
                    std::size_t end = std::min(count, start + batchSize);
                    SplatBatch& points = decoding->decoded[index];
                    points.reserve(end - start);
                    for (std::size_t point = start; point < end; ++point)
                        appendPoint(decoding->packed->unpack(std::int32_t(point), decoding->converter),
                                    decoding->shDimension, points);
                });
                decoding->nextPoint = std::min(count, first + batches * batchSize);
            }
            if (batch.empty())
                batch = std::move(decoding->decoded.front());
            else
                batch.insert(batch.end(), decoding->decoded.front().begin(), decoding->decoded.front().end());
            decoding->decoded.pop_front();
            return true;
        },
        count);
}

}  // namespace splatformats
