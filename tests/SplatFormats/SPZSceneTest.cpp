#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <ostream>
#include <random>

#include "SplatFormats/SPZSceneReader.hpp"
#include "SplatFormats/SPZSceneWriter.hpp"
#include "spz/GaussianCloud.hpp"
#include "spz/Gzip.hpp"
#include "spz/PackedGaussians.hpp"
#include "spz/SPZError.hpp"
#include "support/TempDir.hpp"

using splatformats::Quaternion;
using splatformats::SHCoefficients;
using splatformats::SplatPoint;
using splatformats::SPZSceneReader;
using splatformats::SPZSceneWriter;

namespace {

SplatPoint rgbPoint(float x) {
    return SplatPoint({x, 1, 2}, SplatPoint::Color::sRGBUInt8({200, 100, 50}), SplatPoint::Opacity::linearUInt8(200),
                      SplatPoint::Scale::linearFloat({0.1f, 0.2f, 0.3f}), {0, 0, 0, 1});
}

SplatPoint shPoint(float x, std::size_t tripleCount, float shValue) {
    SHCoefficients triples;
    triples.push_back({0.5f, -0.5f, 0.25f});
    for (std::size_t k = 1; k < tripleCount; ++k) triples.push_back({shValue, -shValue, shValue / 2});
    return SplatPoint({x, -1, 0.5f}, SplatPoint::Color::sphericalHarmonicFloat(triples), SplatPoint::Opacity::logitFloat(1.5f),
                      SplatPoint::Scale::exponent({-3, -2, -1}), {0.1f, 0.2f, 0.3f, 0.9f});
}

std::vector<std::uint8_t> writeSpz(std::int64_t announced, const std::vector<std::vector<SplatPoint>>& batches) {
    SPZSceneWriter writer(plykit::WriterDestination::memory());
    writer.start(announced);
    for (const auto& batch : batches) writer.write(batch);
    writer.close();
    return *writer.writtenData();
}

spz::GaussianCloud cloudOf(std::int32_t count, int degree) {
    spz::GaussianCloud cloud;
    cloud.numPoints = count;
    cloud.shDegree = degree;
    for (std::int32_t i = 0; i < count; ++i) {
        cloud.positions.insert(cloud.positions.end(), {float(i) / 64, 2, 3});
        cloud.scales.insert(cloud.scales.end(), {-1, -2, -3});
        cloud.rotations.insert(cloud.rotations.end(), {0, 0, 0, 1});
        cloud.alphas.push_back(0.5f);
        cloud.colors.insert(cloud.colors.end(), {0.1f, 0.2f, 0.3f});
        for (int k = 0; k < 3 * spz::SpzHeader::shDimension(degree); ++k) cloud.sh.push_back(0.25f);
    }
    return cloud;
}

SPZSceneWriter::ErrorKind writerErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const SPZSceneWriter::Error& error) {
        return error.kind();
    }
    ADD_FAILURE() << "no writer error";
    return SPZSceneWriter::ErrorKind::writeError;
}

}  // namespace

TEST(SPZScene, BatchesHoldTenThousandPoints) {
    spz::Bytes file = spz::saveSpz(cloudOf(25000, 0), {spz::CoordinateSystem::rub});
    auto sequence = SPZSceneReader(file).read();
    EXPECT_EQ(sequence.expectedPointCount(), 25000u);
    std::vector<std::size_t> sizes;
    while (auto batch = sequence.next()) sizes.push_back(batch->size());
    EXPECT_EQ(sizes, (std::vector<std::size_t>{10000, 10000, 5000}));
    auto empty = SPZSceneReader(spz::saveSpz(cloudOf(0, 0), {spz::CoordinateSystem::rub})).read();
    EXPECT_FALSE(empty.next());
}

TEST(SPZScene, PointsCarryOneOrSixteenTriplesAndComeOutInRdf) {
    auto degree0 = SPZSceneReader(spz::saveSpz(cloudOf(1, 0), {spz::CoordinateSystem::rub})).readAll();
    ASSERT_EQ(degree0.size(), 1u);
    EXPECT_EQ(degree0[0].color.sphericalHarmonics().size(), 1u);
    // RUB (0, 2, 3) reads as RDF (0, -2, -3).
    EXPECT_EQ(degree0[0].position, (splatformats::Vector3{0, -2, -3}));
    EXPECT_EQ(degree0[0].opacity.kind(), SplatPoint::Opacity::Kind::logitFloat);
    EXPECT_EQ(degree0[0].scale.kind(), SplatPoint::Scale::Kind::exponent);
    EXPECT_EQ(degree0[0].scale.values(), (splatformats::Vector3{-1, -2, -3}));
    auto degree3 = SPZSceneReader(spz::saveSpz(cloudOf(1, 3), {spz::CoordinateSystem::rub})).readAll();
    EXPECT_EQ(degree3[0].color.sphericalHarmonics().size(), 16u);
    auto flips = spz::coordinateConverter(spz::CoordinateSystem::rub, spz::CoordinateSystem::rdf).flipSh;
    EXPECT_EQ(degree3[0].color.sphericalHarmonics()[1][0], 0.25f * flips[0]);
    EXPECT_EQ(degree3[0].color.sphericalHarmonics()[15][2], 0.25f * flips[14]);
}

TEST(SPZScene, WrittenSceneReadsBackWithinQuantisation) {
    std::vector<SplatPoint> points;
    std::mt19937 generator(4);
    std::uniform_real_distribution<float> coordinate(-50, 50), sh(-0.9f, 0.9f);
    for (int i = 0; i < 300; ++i) {
        SHCoefficients triples;
        for (int k = 0; k < 16; ++k) triples.push_back({sh(generator), sh(generator), sh(generator)});
        points.push_back(SplatPoint({coordinate(generator), coordinate(generator), coordinate(generator)},
                                    SplatPoint::Color::sphericalHarmonicFloat(triples),
                                    SplatPoint::Opacity::logitFloat(sh(generator) * 3),
                                    SplatPoint::Scale::exponent({sh(generator) - 4, sh(generator), sh(generator) + 2}),
                                    {sh(generator), sh(generator), sh(generator), 1}));
    }
    auto back = SPZSceneReader(writeSpz(300, {points})).readAll();
    ASSERT_EQ(back.size(), points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        for (int axis = 0; axis < 3; ++axis) {
            EXPECT_NEAR(back[i].position[axis], points[i].position[axis], 0.5f / 4096 + 1e-5f);
            EXPECT_NEAR(back[i].scale.values()[axis], points[i].scale.values()[axis], 1.0f / 32 + 1e-5f);
        }
        const auto& written = points[i].color.sphericalHarmonics();
        const auto& read = back[i].color.sphericalHarmonics();
        ASSERT_EQ(read.size(), 16u);
        for (std::size_t k = 0; k < 16; ++k)
            for (std::size_t c = 0; c < 3; ++c) {
                float step = k == 0 ? 0.5f / 38.25f : (k < 4 ? 4.5f : 8.5f) / 128;
                EXPECT_NEAR(read[k][c], written[k][c], step + 1e-5f) << i << " " << k;
            }
        float alpha = points[i].opacity.asLinearFloat(), alphaBack = back[i].opacity.asLinearFloat();
        EXPECT_NEAR(alphaBack, alpha, 0.5f / 255 + 1e-5f);
    }
}

TEST(SPZScene, LaterHigherDegreeRaisesTheWholeFile) {
    auto rgbOnly = spz::loadSpzPacked(writeSpz(2, {{rgbPoint(0), rgbPoint(1)}}));
    EXPECT_EQ(rgbOnly.shDegree, 0);
    spz::Bytes raised = writeSpz(3, {{rgbPoint(0)}, {shPoint(1, 4, 0.5f)}, {shPoint(2, 16, 0.75f)}});
    EXPECT_EQ(spz::loadSpzPacked(raised).shDegree, 3);
    auto points = SPZSceneReader(raised).readAll();
    ASSERT_EQ(points.size(), 3u);
    for (std::size_t k = 1; k < 16; ++k) EXPECT_EQ(points[0].color.sphericalHarmonics()[k], (splatformats::Vector3{0, 0, 0}));
    // The degree-1 point keeps its first band; the rest is zero.
    EXPECT_NEAR(std::abs(points[1].color.sphericalHarmonics()[1][0]), 0.5f, 4.5f / 128);
    EXPECT_EQ(points[1].color.sphericalHarmonics()[4], (splatformats::Vector3{0, 0, 0}));
    EXPECT_NEAR(std::abs(points[2].color.sphericalHarmonics()[15][0]), 0.75f, 8.5f / 128);
}

TEST(SPZScene, WriterStatesAndCounts) {
    SPZSceneWriter writer(plykit::WriterDestination::memory());
    EXPECT_EQ(writerErrorOf([&] { writer.write({rgbPoint(0)}); }), SPZSceneWriter::ErrorKind::notStarted);
    writer.start(2);
    EXPECT_EQ(writerErrorOf([&] { writer.start(2); }), SPZSceneWriter::ErrorKind::alreadyStarted);
    EXPECT_EQ(writerErrorOf([&] { writer.write({rgbPoint(0), rgbPoint(1), rgbPoint(2)}); }),
              SPZSceneWriter::ErrorKind::tooManyPoints);
    writer.write({rgbPoint(5)});
    // Closing after fewer points than announced saves the points written.
    writer.close();
    auto points = SPZSceneReader(*writer.writtenData()).readAll();
    ASSERT_EQ(points.size(), 1u);
    EXPECT_NEAR(points[0].position[0], 5.0f, 1e-3);
    EXPECT_EQ(writerErrorOf([&] { writer.write({rgbPoint(0)}); }), SPZSceneWriter::ErrorKind::cannotWriteAfterClose);
    EXPECT_NO_THROW(writer.close());
    // The antialiased flag is always 0.
    EXPECT_FALSE(spz::loadSpzPacked(*writer.writtenData()).antialiased);
}

TEST(SPZScene, MoreThanTenMillionPointsAreRefusedBeforeAnythingIsHeld) {
    tessaron::testing::TempDir folder;
    SPZSceneWriter writer(folder / "big.spz");
    EXPECT_EQ(writerErrorOf([&] { writer.start(10'000'001); }), SPZSceneWriter::ErrorKind::tooManyPoints);
    EXPECT_EQ(writerErrorOf([&] { writer.start(-1); }), SPZSceneWriter::ErrorKind::tooManyPoints);
    writer.close();
    EXPECT_FALSE(std::filesystem::exists(folder / "big.spz"));
}

TEST(SPZScene, NothingIsWrittenBeforeCloseAndTheFileIsReplacedWhole) {
    tessaron::testing::TempDir folder;
    auto path = folder / "scene.spz";
    tessaron::testing::writeTextFile(path, "previous");
    SPZSceneWriter writer(path);
    writer.start(1);
    writer.write({shPoint(1, 16, 0.1f)});
    EXPECT_EQ(tessaron::testing::readTextFile(path), "previous");
    writer.close();
    EXPECT_FALSE(writer.writtenData());
    EXPECT_EQ(SPZSceneReader(path).readAll().size(), 1u);
}

TEST(SPZScene, PackingFailureIsAWriteErrorWithTheCause) {
    SPZSceneWriter writer(plykit::WriterDestination::memory());
    writer.start(1);
    writer.write({SplatPoint({std::nanf(""), 0, 0}, SplatPoint::Color::sRGBUInt8({0, 0, 0}),
                             SplatPoint::Opacity::linearUInt8(0), SplatPoint::Scale::exponent({0, 0, 0}), {0, 0, 0, 1})});
    try {
        writer.close();
        FAIL();
    } catch (const SPZSceneWriter::Error& error) {
        EXPECT_EQ(error.kind(), SPZSceneWriter::ErrorKind::writeError);
        EXPECT_NE(std::string(error.what()).find("not finite"), std::string::npos);
        EXPECT_THROW(std::rethrow_exception(error.underlying()), spz::SPZError);
    }
    EXPECT_FALSE(writer.writtenData());
}

TEST(SPZScene, LoadFailuresAreReadErrorsWrappingTheCause) {
    spz::Bytes tooMany = spz::saveSpz(cloudOf(1, 0), {spz::CoordinateSystem::rub});
    spz::Bytes stream = spz::decompressGzipped(tooMany);
    stream[4] = 4;  // version 4, which other tools now write by default
    try {
        SPZSceneReader(spz::compressGzipped(stream)).read();
        FAIL();
    } catch (const SPZSceneReader::Error& error) {
        EXPECT_EQ(error.kind(), SPZSceneReader::ErrorKind::readError);
        EXPECT_STREQ(error.what(), "Unsupported SPZ version 4 (versions 1 to 3 can be read)");
        try {
            std::rethrow_exception(error.underlying());
        } catch (const spz::SPZError& cause) {
            EXPECT_EQ(cause.kind(), spz::SPZError::Kind::unsupportedVersion);
        }
    }
    EXPECT_THROW(SPZSceneReader(std::filesystem::path("/nonexistent.spz")).read(), SPZSceneReader::Error);
}

namespace {

struct StreamLayout {
    std::uint32_t version;
    int degree;
};

void PrintTo(const StreamLayout& layout, std::ostream* out) {
    *out << "version " << layout.version << ", degree " << layout.degree;
}

// A stream of random array bytes in the layout of `version` (half-float
// positions in 1, three-byte rotations before 3), compressed as a file.
std::vector<std::uint8_t> randomSpzFile(const StreamLayout& layout, std::int32_t count) {
    std::mt19937 random(layout.version * 10 + std::uint32_t(layout.degree));
    auto bytes = [&](std::size_t size) {
        spz::Bytes array(size);
        for (auto& byte : array) byte = std::uint8_t(random());
        return array;
    };
    const std::size_t points = std::size_t(count);
    spz::PackedGaussians packed;
    packed.numPoints = count;
    packed.shDegree = layout.degree;
    packed.fractionalBits = 9;
    packed.positions = bytes(points * (layout.version == 1 ? 6 : 9));
    // Half floats without NaNs or infinities, whose bits would not compare.
    if (layout.version == 1)
        for (std::size_t i = 1; i < packed.positions.size(); i += 2) packed.positions[i] &= 0x7B;
    packed.alphas = bytes(points);
    packed.colors = bytes(3 * points);
    packed.scales = bytes(3 * points);
    packed.rotations = bytes(points * (layout.version >= 3 ? 4 : 3));
    packed.sh = bytes(3 * points * std::size_t(spz::SpzHeader::shDimension(layout.degree)));
    spz::Bytes stream = spz::serializePackedGaussians(packed);
    stream[4] = std::uint8_t(layout.version);
    return spz::compressGzipped(stream);
}

std::vector<std::uint32_t> bitsOf(const SplatPoint& point) {
    std::vector<std::uint32_t> bits;
    auto add = [&](float value) { bits.push_back(std::bit_cast<std::uint32_t>(value)); };
    for (float value : point.position) add(value);
    for (const auto& triple : point.color.sphericalHarmonics())
        for (float value : triple) add(value);
    add(point.opacity.floatValue());
    for (float value : point.scale.values()) add(value);
    for (float value : {point.rotation.x, point.rotation.y, point.rotation.z, point.rotation.w}) add(value);
    return bits;
}

// The same point from the whole-cloud decoding, a path of its own.
std::vector<std::uint32_t> bitsOf(const spz::GaussianCloud& cloud, std::size_t index) {
    std::vector<std::uint32_t> bits;
    auto add = [&](float value) { bits.push_back(std::bit_cast<std::uint32_t>(value)); };
    const std::size_t dimension = std::size_t(spz::SpzHeader::shDimension(cloud.shDegree));
    for (std::size_t axis = 0; axis < 3; ++axis) add(cloud.positions[3 * index + axis]);
    for (std::size_t channel = 0; channel < 3; ++channel) add(cloud.colors[3 * index + channel]);
    for (std::size_t k = 0; k < 3 * dimension; ++k) add(cloud.sh[3 * dimension * index + k]);
    add(cloud.alphas[index]);
    for (std::size_t axis = 0; axis < 3; ++axis) add(cloud.scales[3 * index + axis]);
    for (std::size_t axis = 0; axis < 4; ++axis) add(cloud.rotations[4 * index + axis]);
    return bits;
}

class SPZStreamLayouts : public ::testing::TestWithParam<StreamLayout> {};

}  // namespace

// Points decoded batch by batch, gathered whole (alone or after other
// points), pulled one batch at a time or into one reused batch, are those of the whole-cloud decoding, bit for bit, across batches
// and rounds of side-by-side decoding.
TEST_P(SPZStreamLayouts, PointsMatchTheWholeCloudDecodingBitForBit) {
    constexpr std::int32_t count = 2 * std::int32_t(SPZSceneReader::batchSize) + 517;
    const auto file = randomSpzFile(GetParam(), count);
    const spz::GaussianCloud cloud = spz::loadSpz(file, {spz::CoordinateSystem::rdf});

    const std::vector<SplatPoint> gathered = SPZSceneReader(file).readAll();
    ASSERT_EQ(gathered.size(), std::size_t(count));
    std::vector<SplatPoint> pulled;
    auto sequence = SPZSceneReader(file).read();
    while (auto batch = sequence.next()) {
        EXPECT_LE(batch->size(), SPZSceneReader::batchSize);
        pulled.insert(pulled.end(), batch->begin(), batch->end());
    }
    ASSERT_EQ(pulled.size(), std::size_t(count));
    // After points the destination already holds, with room for the rest.
    std::vector<SplatPoint> appended(3, gathered.back());
    appended.reserve(appended.size() + std::size_t(count));
    auto whole = SPZSceneReader(file).read();
    while (whole.appendNext(appended)) {
    }
    ASSERT_EQ(appended.size(), 3 + std::size_t(count));
    // One batch reused from call to call, too small for the whole scene.
    std::vector<SplatPoint> reusing;
    splatformats::SplatBatch reused;
    reused.reserve(SPZSceneReader::batchSize / 2 + 517);
    auto partly = SPZSceneReader(file).read();
    while (partly.appendNext(reused)) {
        reusing.insert(reusing.end(), reused.begin(), reused.end());
        reused.clear();
    }
    ASSERT_EQ(reusing.size(), std::size_t(count));
    for (std::size_t index = 0; index < std::size_t(count); ++index) {
        ASSERT_EQ(bitsOf(gathered[index]), bitsOf(cloud, index)) << "point " << index;
        ASSERT_EQ(bitsOf(pulled[index]), bitsOf(cloud, index)) << "point " << index;
        ASSERT_EQ(bitsOf(appended[3 + index]), bitsOf(cloud, index)) << "point " << index;
        ASSERT_EQ(bitsOf(reusing[index]), bitsOf(cloud, index)) << "point " << index;
    }
}

INSTANTIATE_TEST_SUITE_P(VersionsAndDegrees, SPZStreamLayouts,
                         ::testing::Values(StreamLayout{1, 0}, StreamLayout{1, 3}, StreamLayout{2, 1},
                                           StreamLayout{2, 2}, StreamLayout{3, 0}, StreamLayout{3, 3}));
