#include "SplatFormats/SPZSceneReader.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <memory>
#include <type_traits>
#include <vector>

#include "core/AvailableCPUs.hpp"
#include "core/ParallelFor.hpp"
#include "spz/PackedGaussians.hpp"

namespace splatformats {

namespace {

// A point of the kinds the file's points have, for decoding to overwrite.
SplatPoint prototypeOf(const spz::PackedArraysView& packed) {
    SHCoefficients zeros;
    zeros.resize(1 + std::size_t(spz::SpzHeader::shDimension(packed.shDegree)));
    return SplatPoint({}, SplatPoint::Color::sphericalHarmonicFloat(zeros), SplatPoint::Opacity::logitFloat(0),
                      SplatPoint::Scale::exponent({}), Quaternion{});
}

// Decodes points [first, end) of the packed arrays straight from their bytes
// into `points`, copies of the prototype whose fields are overwritten in
// place, as a scene is millions of them.
void decodePoints(const spz::PackedArraysView& packed, const spz::CoordinateConverter& converter, std::size_t first,
                  std::size_t end, SplatPoint* points) {
    const spz::ByteDecodings& tables = spz::byteDecodings();
    const std::size_t dimension = std::size_t(spz::SpzHeader::shDimension(packed.shDegree));
    const bool half = packed.usesFloat16();
    const float positionScale = std::ldexp(1.0f, -packed.fractionalBits);
    for (std::size_t index = first; index < end; ++index) {
        SplatPoint& point = points[index - first];
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

// Appends points [first, end) to `batch`, decoding as above.
void appendPoints(const spz::PackedArraysView& packed, const spz::CoordinateConverter& converter, std::size_t first,
                  std::size_t end, SplatBatch& batch) {
    const std::size_t start = batch.size();
    batch.insert(batch.end(), end - first, prototypeOf(packed));
    decodePoints(packed, converter, first, end, batch.data() + start);
}

// Appends points [first, end) to `batch`, which has room for them all, on
// every core: one thread places copies of the prototype run by run, and the
// others decode each run as soon as it is placed, while it is still in cache.
// Placing and decoding the whole block one after the other would stream
// hundreds of megabytes through memory twice.
void decodeAllInPlace(const spz::PackedArraysView& packed, const spz::CoordinateConverter& converter, std::size_t first,
                      std::size_t end, SplatBatch& batch) {
    constexpr std::size_t run = SPZSceneReader::batchSize;
    const std::size_t count = end - first;
    const std::size_t runs = (count + run - 1) / run;
    // Within the capacity, so the points placed later land here.
    SplatPoint* const destination = batch.data() + batch.size();
    static_assert(std::is_trivially_copyable_v<SplatPoint>, "placing the points must not throw");
    const SplatPoint prototype = prototypeOf(packed);
    std::atomic<std::size_t> placed{0};
    const auto placeRuns = [&] {
        for (std::size_t done = 0; done < count;) {
            const std::size_t length = std::min(run, count - done);
            batch.insert(batch.end(), length, prototype);  // cannot throw: no allocation, trivial copies
            done += length;
            placed.store(done, std::memory_order_release);
            placed.notify_all();
        }
    };
    const auto decodeRun = [&](std::size_t index) {
        const std::size_t runEnd = std::min(count, (index + 1) * run);
        for (std::size_t now = placed.load(std::memory_order_acquire); now < runEnd;
             now = placed.load(std::memory_order_acquire))
            placed.wait(now, std::memory_order_acquire);
        decodePoints(packed, converter, first + index * run, first + runEnd, destination + index * run);
    };
    // Item 0 places, the others decode a run each. Whoever takes item 0
    // runs it at once, so a decoder never waits on a placing not started;
    // on one thread the items run in order.
    tessaron::core::parallelFor(runs + 1, [&](std::size_t item) {
        if (item == 0)
            placeRuns();
        else
            decodeRun(item - 1);
    });
}

}  // namespace

SplatBatchSequence SPZSceneReader::read() {
    spz::PackedArraysView packed;
    try {
        if (const auto* path = std::get_if<std::filesystem::path>(&source_))
            packed = spz::loadSpzArrays(*path);
        else
            packed = spz::loadSpzArrays(std::get<std::vector<std::uint8_t>>(source_));
    } catch (const std::exception& error) {
        throw Error(ErrorKind::readError, error.what(), std::current_exception());
    }

    // Batches are decoded a few at a time, side by side on the available
    // cores: the first straight into the caller's destination, the others
    // held until they are asked for, so only that handful is held decoded.
    struct Decoding {
        spz::PackedArraysView packed;
        spz::CoordinateConverter converter;
        std::size_t nextPoint = 0;
        std::deque<SplatBatch> decoded;
    };
    auto decoding = std::make_shared<Decoding>();
    decoding->packed = std::move(packed);
    decoding->converter = spz::coordinateConverter(spz::CoordinateSystem::rub, spz::CoordinateSystem::rdf);
    const std::size_t count = std::size_t(decoding->packed.numPoints);
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
            if (batch.capacity() - batch.size() >= count - first) {
                decodeAllInPlace(decoding->packed, decoding->converter, first, count, batch);
                decoding->nextPoint = count;
                return true;
            }
            std::size_t batches = std::min(tessaron::core::availableCPUs(), (count - first + batchSize - 1) / batchSize);
            decoding->decoded.resize(batches - 1);
            tessaron::core::parallelFor(batches, [&](std::size_t index) {
                std::size_t start = first + index * batchSize;
                std::size_t end = std::min(count, start + batchSize);
                appendPoints(decoding->packed, decoding->converter, start, end,
                             index == 0 ? batch : decoding->decoded[index - 1]);
            });
            decoding->nextPoint = std::min(count, first + batches * batchSize);
            return true;
        },
        count);
}

}  // namespace splatformats
