#include "SplatFormats/SPZSceneReader.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <memory>

#include "core/ParallelFor.hpp"
#include "spz/PackedGaussians.hpp"

namespace splatformats {

namespace {

// Appends points [first, end) of the packed arrays straight from their
// bytes: each a copy of a point of the right kinds with its fields then
// overwritten in place, as a scene is millions of them.
void appendPoints(const spz::PackedGaussians& packed, const spz::CoordinateConverter& converter, std::size_t first,
                  std::size_t end, SplatBatch& batch) {
    const spz::ByteDecodings& tables = spz::byteDecodings();
    const std::size_t dimension = std::size_t(spz::SpzHeader::shDimension(packed.shDegree));
    SHCoefficients zeros;
    zeros.resize(1 + dimension);
    const SplatPoint prototype({}, SplatPoint::Color::sphericalHarmonicFloat(zeros), SplatPoint::Opacity::logitFloat(0),
                               SplatPoint::Scale::exponent({}), Quaternion{});
    const bool half = packed.usesFloat16();
    const float positionScale = std::ldexp(1.0f, -packed.fractionalBits);
    batch.reserve(batch.size() + (end - first));
    for (std::size_t index = first; index < end; ++index) {
        SplatPoint& point = batch.emplace_back(prototype);
        for (std::size_t axis = 0; axis < 3; ++axis) {
            float value;
            if (half) {
                const std::uint8_t* bytes = &packed.positions[6 * index + 2 * axis];
                value = spz::halfToFloat(std::uint16_t(bytes[0] | bytes[1] << 8));
            } else {
                value = spz::unpackFixedPoint(&packed.positions[9 * index + 3 * axis], positionScale);
            }
            point.position[axis] = value * converter.flipP[axis];
        }
        spz::Quat4f rotation = packed.usesQuaternionSmallestThree
                                   ? spz::unpackQuaternionSmallestThree(&packed.rotations[4 * index], converter.flipQ)
                                   : spz::unpackQuaternionFirstThree(&packed.rotations[3 * index], converter.flipQ);
        point.rotation = {rotation[0], rotation[1], rotation[2], rotation[3]};
        point.scale = SplatPoint::Scale::exponent({tables.scale[packed.scales[3 * index]],
                                                   tables.scale[packed.scales[3 * index + 1]],
                                                   tables.scale[packed.scales[3 * index + 2]]});
        point.opacity = SplatPoint::Opacity::logitFloat(tables.alpha[packed.alphas[index]]);
        float* sh = point.color.sphericalHarmonicsInPlace().data()->data();
        for (std::size_t channel = 0; channel < 3; ++channel) sh[channel] = tables.color[packed.colors[3 * index + channel]];
        const std::uint8_t* coefficients = packed.sh.data() + 3 * dimension * index;  // none at degree 0
        for (std::size_t k = 0; k < dimension; ++k)
            for (std::size_t channel = 0; channel < 3; ++channel)
                sh[3 + 3 * k + channel] = tables.sh[coefficients[3 * k + channel]] * converter.flipSh[k];
    }
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
    // cores: the first straight into the caller's destination, the others
    // held until they are asked for, so only that handful is held decoded.
    struct Decoding {
        std::shared_ptr<spz::PackedGaussians> packed;
        spz::CoordinateConverter converter;
        std::size_t nextPoint = 0;
        std::deque<SplatBatch> decoded;
    };
    auto decoding = std::make_shared<Decoding>();
    decoding->packed = packed;
    decoding->converter = spz::coordinateConverter(spz::CoordinateSystem::rub, spz::CoordinateSystem::rdf);
    std::size_t count = std::size_t(packed->numPoints);
    return SplatBatchSequence(
        [decoding, count](SplatBatch& batch) {
            if (!decoding->decoded.empty()) {
                SplatBatch& front = decoding->decoded.front();
                if (batch.empty() && batch.capacity() < front.size())
                    batch = std::move(front);
                else
                    batch.insert(batch.end(), front.begin(), front.end());
                decoding->decoded.pop_front();
                return true;
            }
            std::size_t first = decoding->nextPoint;
            if (first >= count) return false;
            std::size_t batches = std::min(tessaron::core::availableCPUs(), (count - first + batchSize - 1) / batchSize);
            decoding->decoded.resize(batches - 1);
            tessaron::core::parallelFor(batches, [&](std::size_t index) {
                std::size_t start = first + index * batchSize;
                std::size_t end = std::min(count, start + batchSize);
                appendPoints(*decoding->packed, decoding->converter, start, end,
                             index == 0 ? batch : decoding->decoded[index - 1]);
            });
            decoding->nextPoint = std::min(count, first + batches * batchSize);
            return true;
        },
        count);
}

}  // namespace splatformats
