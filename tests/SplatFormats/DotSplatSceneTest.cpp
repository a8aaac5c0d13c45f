#include <gtest/gtest.h>

#include <cstring>

#include "PlyKit/ReaderSource.hpp"
#include "SplatFormats/DotSplatEncodedPoint.hpp"
#include "SplatFormats/DotSplatSceneReader.hpp"
#include "SplatFormats/DotSplatSceneWriter.hpp"
#include "support/TempDir.hpp"

using splatformats::DotSplatEncodedPoint;
using splatformats::DotSplatSceneReader;
using splatformats::DotSplatSceneWriter;
using splatformats::Quaternion;
using splatformats::SplatPoint;

namespace {

SplatPoint point(SplatPoint::Color color, SplatPoint::Opacity opacity, SplatPoint::Scale scale, Quaternion rotation,
                 splatformats::Vector3 position = {1, -2, 3.5f}) {
    return SplatPoint(position, color, opacity, scale, rotation);
}

SplatPoint plainPoint(float x) {
    return point(SplatPoint::Color::sRGBUInt8({10, 20, 30}), SplatPoint::Opacity::linearUInt8(40),
                 SplatPoint::Scale::linearFloat({0.5f, 1, 2}), {0, 0, 0, 1}, {x, 0, 0});
}

std::vector<std::uint8_t> written(const std::vector<SplatPoint>& points) {
    DotSplatSceneWriter writer(plykit::WriterDestination::memory());
    writer.write(points);
    writer.close();
    return *writer.writtenData();
}

}  // namespace

TEST(DotSplatEncodedPoint, RecordLayoutIsLittleEndianWithByteRotation) {
    std::vector<std::uint8_t> bytes = written({point(SplatPoint::Color::sRGBUInt8({1, 2, 3}), SplatPoint::Opacity::linearUInt8(4),
                                                     SplatPoint::Scale::linearFloat({1, 2, 4}), {0, 0, 0, 1})});
    ASSERT_EQ(bytes.size(), 32u);
    float floats[6];
    std::memcpy(floats, bytes.data(), 24);
    EXPECT_EQ(floats[0], 1.0f);
    EXPECT_EQ(floats[1], -2.0f);
    EXPECT_EQ(floats[2], 3.5f);
    EXPECT_EQ(floats[5], 4.0f);
    EXPECT_EQ(bytes[3], 0x3F);  // 1.0f little-endian: 00 00 80 3F
    // Colour, alpha, then the identity rotation w x y z: 256 clamps to 255.
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 24, bytes.end()),
              (std::vector<std::uint8_t>{1, 2, 3, 4, 255, 128, 128, 128}));
}

TEST(DotSplatEncodedPoint, EncodingConvertsEveryAttribute) {
    DotSplatEncodedPoint logitHalf(point(SplatPoint::Color::sphericalHarmonicFloat({{0, 0, 0}}),
                                         SplatPoint::Opacity::logitFloat(0), SplatPoint::Scale::exponent({0, 0, 0}),
                                         {0, 0, 0, 0}));
    EXPECT_EQ(logitHalf.color, (std::array<std::uint8_t, 4>{127, 127, 127, 128}));
    EXPECT_EQ(logitHalf.scales, (splatformats::Vector3{1, 1, 1}));
    EXPECT_EQ(logitHalf.rot, (std::array<std::uint8_t, 4>{255, 128, 128, 128}));  // zero length: identity
    DotSplatEncodedPoint opaque(point(SplatPoint::Color::sRGBUInt8({0, 0, 0}), SplatPoint::Opacity::linearFloat(1.0f),
                                      SplatPoint::Scale::linearFloat({1, 1, 1}), {0, 0, 0, -2}));
    EXPECT_EQ(opaque.color[3], 255);
    EXPECT_EQ(opaque.rot[0], 0);  // -1 × 128 + 128
}

TEST(DotSplatEncodedPoint, RotationBytesDecodeNormalised) {
    DotSplatEncodedPoint record;
    record.rot = {128, 128, 128, 128};
    EXPECT_EQ(record.splatPoint().rotation, (Quaternion{0, 0, 0, 1}));
    record.rot = {255, 128, 128, 128};
    EXPECT_EQ(record.splatPoint().rotation, (Quaternion{0, 0, 0, 1}));
    record.rot = {128, 228, 128, 128};
    EXPECT_EQ(record.splatPoint().rotation, (Quaternion{1, 0, 0, 0}));
    record.rot = {0, 128, 128, 128};
    EXPECT_EQ(record.splatPoint().rotation, (Quaternion{0, 0, 0, -1}));
}

TEST(DotSplatScene, WrittenPointsReadBackAsTheirByteEncodings) {
    std::vector<SplatPoint> points;
    for (int i = 0; i < 5000; ++i) points.push_back(plainPoint(float(i)));
    std::vector<std::uint8_t> bytes = written(points);
    EXPECT_EQ(bytes.size(), 5000u * 32);
    DotSplatSceneReader reader(bytes);
    auto sequence = reader.read();
    EXPECT_EQ(sequence.expectedPointCount(), 5000u);
    std::size_t batches = 0, total = 0;
    while (auto batch = sequence.next()) {
        EXPECT_LE(batch->size(), 512u);  // one 16 KiB chunk
        for (const auto& readPoint : *batch) {
            EXPECT_EQ(readPoint, plainPoint(float(total)));
            ++total;
        }
        ++batches;
    }
    EXPECT_EQ(total, 5000u);
    EXPECT_EQ(batches, 10u);
}

TEST(DotSplatScene, EmptyInputEndsAtOnceAndAPartialRecordFailsAfterTheWholeOnes) {
    auto emptySequence = DotSplatSceneReader(std::vector<std::uint8_t>{}).read();
    EXPECT_FALSE(emptySequence.next());

    std::vector<std::uint8_t> bytes = written({plainPoint(7)});
    bytes.push_back(0);
    auto sequence = DotSplatSceneReader(bytes).read();
    auto batch = sequence.next();
    ASSERT_TRUE(batch);
    ASSERT_EQ(batch->size(), 1u);
    EXPECT_EQ((*batch)[0].position[0], 7.0f);
    try {
        sequence.next();
        FAIL();
    } catch (const DotSplatSceneReader::Error& error) {
        EXPECT_EQ(error.kind(), DotSplatSceneReader::ErrorKind::unexpectedEndOfFile);
        EXPECT_STREQ(error.what(),
                     "Unexpected end of in-memory .splat data: 1 bytes of a 32-byte record left after 1 records");
    }
    EXPECT_FALSE(sequence.next());
}

TEST(DotSplatScene, FileRoundTripAndMissingFile) {
    tessaron::testing::TempDir folder;
    auto path = folder / "scene.splat";
    tessaron::testing::writeTextFile(path, std::string(100, 'x'));  // replaced, not appended to
    DotSplatSceneWriter writer(path);
    writer.write({plainPoint(1), plainPoint(2)});
    writer.write({});
    writer.write({plainPoint(3)});
    writer.close();
    EXPECT_FALSE(writer.writtenData());
    auto points = DotSplatSceneReader(path).readAll();
    ASSERT_EQ(points.size(), 3u);
    EXPECT_EQ(points[2].position[0], 3.0f);
    EXPECT_THROW(DotSplatSceneReader(folder / "missing.splat").read(), plykit::ReaderSource::Error);
}

TEST(DotSplatScene, WritingAfterCloseFailsAndClosingTwiceDoesNothing) {
    DotSplatSceneWriter writer(plykit::WriterDestination::memory());
    EXPECT_FALSE(writer.writtenData());
    writer.close();
    EXPECT_NO_THROW(writer.close());
    try {
        writer.write({plainPoint(0)});
        FAIL();
    } catch (const DotSplatSceneWriter::Error& error) {
        EXPECT_EQ(error.kind(), DotSplatSceneWriter::ErrorKind::cannotWriteAfterClose);
    }
    EXPECT_EQ(writer.writtenData()->size(), 0u);
}
