#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "PlyKit/PLYReader.hpp"
#include "SplatFormats/SplatPLYSceneReader.hpp"
#include "SplatFormats/SplatPLYSceneWriter.hpp"
#include "support/TempDir.hpp"

using splatformats::SHCoefficients;
using splatformats::SplatPLYSceneReader;
using splatformats::SplatPLYSceneWriter;
using splatformats::SplatPoint;

namespace {

std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

// An ASCII PLY of one vertex element with the given property lines and rows.
std::vector<std::uint8_t> asciiPLY(const std::vector<std::string>& properties, const std::vector<std::string>& rows,
                                   const std::string& extraElements = "") {
    std::string text = "ply\nformat ascii 1.0\nelement vertex " + std::to_string(rows.size()) + "\n";
    for (const auto& property : properties) text += "property " + property + "\n";
    text += extraElements + "end_header\n";
    for (const auto& row : rows) text += row + "\n";
    return bytesOf(text);
}

const std::vector<std::string> geometry = {"float x",       "float y",       "float z",       "float opacity",
                                           "float scale_0", "float scale_1", "float scale_2", "float rot_0",
                                           "float rot_1",   "float rot_2",   "float rot_3"};
const std::string geometryRow = "1 2 3 0.5 -1 -2 -3 1 0 0 0";

std::vector<std::string> withColour(std::vector<std::string> colour) {
    std::vector<std::string> properties = geometry;
    properties.insert(properties.begin() + 3, colour.begin(), colour.end());
    return properties;
}

std::string rowWithColour(const std::string& colour) { return "1 2 3 " + colour + " 0.5 -1 -2 -3 1 0 0 0"; }

std::string messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "(no error)";
}

SplatPoint shPoint(float x, std::size_t tripleCount) {
    SHCoefficients triples;
    for (std::size_t k = 0; k < tripleCount; ++k) triples.push_back({float(k), float(k) + 0.25f, -float(k)});
    return SplatPoint({x, -x, 0.5f}, SplatPoint::Color::sphericalHarmonicFloat(triples), SplatPoint::Opacity::logitFloat(-1.5f),
                      SplatPoint::Scale::exponent({-3, -2, -1}), {0.1f, 0.2f, 0.3f, 0.9f});
}

std::vector<std::uint8_t> writePLY(unsigned degree, bool binary, const std::vector<SplatPoint>& points) {
    SplatPLYSceneWriter writer(plykit::WriterDestination::memory());
    writer.start(degree, binary, std::int64_t(points.size()));
    writer.write(points);
    writer.close();
    return *writer.writtenData();
}

std::string unexpected(const std::string& message) { return "Unexpected file contents for a splat PLY: " + message; }

}  // namespace

TEST(SplatPLYScene, DcWithoutRestReadsAsOneTriple) {
    auto points = SplatPLYSceneReader(asciiPLY(withColour({"float f_dc_0", "float f_dc_1", "float f_dc_2"}),
                                               {rowWithColour("0.1 0.2 0.3")}))
                      .readAll();
    ASSERT_EQ(points.size(), 1u);
    const SplatPoint& point = points[0];
    EXPECT_EQ(point.position, (splatformats::Vector3{1, 2, 3}));
    EXPECT_EQ(point.color.sphericalHarmonics(), (SHCoefficients{{0.1f, 0.2f, 0.3f}}));
    EXPECT_EQ(point.opacity, SplatPoint::Opacity::logitFloat(0.5f));
    EXPECT_EQ(point.scale, SplatPoint::Scale::exponent({-1, -2, -3}));
    EXPECT_EQ(point.rotation, (splatformats::Quaternion{0, 0, 0, 1}));  // rot_0 is the real part
}

TEST(SplatPLYScene, EightBitAndFloatColoursStandInForMissingHarmonics) {
    auto bytes = SplatPLYSceneReader(asciiPLY(withColour({"float f_dc_0", "float f_dc_1", "uchar red", "uchar green",
                                                          "uchar blue"}),
                                              {rowWithColour("9 9 10 20 30")}))
                     .readAll();
    EXPECT_EQ(bytes[0].color, SplatPoint::Color::sRGBUInt8({10, 20, 30}));
    // Floats on a 0-256 scale: 128 × 255/256 = 127.5 truncates to 127; NaN gives 0.
    auto floats = SplatPLYSceneReader(asciiPLY(withColour({"float red", "float green", "float blue"}),
                                               {rowWithColour("128 300 -5"), rowWithColour("nan 256 0.9")}))
                      .readAll();
    EXPECT_EQ(floats[0].color, SplatPoint::Color::sRGBUInt8({127, 255, 0}));
    EXPECT_EQ(floats[1].color, SplatPoint::Color::sRGBUInt8({0, 255, 0}));
}

TEST(SplatPLYScene, LayoutsThatCannotBeReadAreRefusedWithTheirReason) {
    std::vector<std::string> restTo23 = withColour({"float f_dc_0", "float f_dc_1", "float f_dc_2"});
    for (int k = 0; k < 24; ++k) restTo23.push_back("float f_rest_" + std::to_string(k));
    EXPECT_EQ(messageOf([&] { SplatPLYSceneReader(asciiPLY(restTo23, {})).read(); }),
              unexpected("No property named \"f_rest_24\" found"));

    std::vector<std::string> doubleX = withColour({"uchar red", "uchar green", "uchar blue"});
    doubleX[0] = "double x";
    EXPECT_EQ(messageOf([&] { SplatPLYSceneReader(asciiPLY(doubleX, {})).read(); }),
              unexpected("Unexpected type for property \"x\""));

    std::vector<std::string> listOpacity = withColour({"uchar red", "uchar green", "uchar blue"});
    listOpacity[6] = "list uchar float opacity";
    EXPECT_EQ(messageOf([&] { SplatPLYSceneReader(asciiPLY(listOpacity, {})).read(); }),
              unexpected("Unexpected type for property \"opacity\""));

    EXPECT_EQ(messageOf([&] { SplatPLYSceneReader(asciiPLY(withColour({"ushort red", "ushort green", "ushort blue"}), {})).read(); }),
              unexpected("No color property elements found with the expected types"));

    std::vector<std::string> noRotation = withColour({"uchar red", "uchar green", "uchar blue"});
    noRotation.pop_back();
    EXPECT_EQ(messageOf([&] { SplatPLYSceneReader(asciiPLY(noRotation, {})).read(); }),
              unexpected("No property named \"rot_3\" found"));

    EXPECT_EQ(messageOf([] {
                  SplatPLYSceneReader(bytesOf("ply\nformat ascii 1.0\nelement face 0\nproperty list uchar int idx\nend_header\n"))
                      .read();
              }),
              unexpected("No element type \"vertex\" found"));
}

TEST(SplatPLYScene, OnlyVerticesAreReadBesideOtherElements) {
    auto bytes = asciiPLY(withColour({"uchar red", "uchar green", "uchar blue"}), {rowWithColour("1 2 3")},
                          "element face 2\nproperty list uchar int vertex_indices\n");
    std::string text(bytes.begin(), bytes.end());
    text += "3 0 0 0\n3 0 0 0\n";
    auto points = SplatPLYSceneReader(bytesOf(text)).readAll();
    ASSERT_EQ(points.size(), 1u);
    EXPECT_EQ(points[0].color, SplatPoint::Color::sRGBUInt8({1, 2, 3}));
}

TEST(SplatPLYScene, BodyErrorsOfThePLYReaderEndTheSequence) {
    auto bytes = writePLY(3, true, {shPoint(1, 16), shPoint(2, 16)});
    bytes.pop_back();
    auto sequence = SplatPLYSceneReader(bytes).read();
    std::size_t delivered = 0;
    try {
        while (auto batch = sequence.next()) delivered += batch->size();
        FAIL();
    } catch (const plykit::PLYReader::Error& error) {
        EXPECT_EQ(error.kind(), plykit::PLYReader::ErrorKind::unexpectedEndOfFile);
    }
    EXPECT_EQ(delivered, 1u);
}

class SplatPLYRoundTrip : public ::testing::TestWithParam<std::tuple<unsigned, bool>> {};

TEST_P(SplatPLYRoundTrip, WrittenPointsReadBackExactly) {
    auto [degree, binary] = GetParam();
    std::vector<SplatPoint> points;
    for (int i = 0; i < 2500; ++i) points.push_back(shPoint(float(i) * 0.1f, 16));
    std::vector<std::uint8_t> bytes = writePLY(degree, binary, points);
    std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(text.find(binary ? "format binary_little_endian 1.0\n" : "format ascii 1.0\n"), std::string::npos);

    auto back = SplatPLYSceneReader(bytes).readAll();
    ASSERT_EQ(back.size(), points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        EXPECT_EQ(back[i].position, points[i].position);
        EXPECT_EQ(back[i].opacity, points[i].opacity);
        EXPECT_EQ(back[i].scale, points[i].scale);
        EXPECT_EQ(back[i].rotation, points[i].rotation);
        std::size_t expectedTriples = degree == 3 ? 16 : 1;
        EXPECT_EQ(back[i].color.sphericalHarmonics(),
                  SHCoefficients(points[i].color.sphericalHarmonics().triples().first(expectedTriples)));
    }
}

INSTANTIATE_TEST_SUITE_P(DegreesAndBodies, SplatPLYRoundTrip,
                         ::testing::Combine(::testing::Values(0u, 3u), ::testing::Bool()));

TEST(SplatPLYScene, WriterLayoutIsTheTrainingConvention) {
    SplatPoint rgb({1, 2, 3}, SplatPoint::Color::sRGBUInt8({255, 0, 128}), SplatPoint::Opacity::linearUInt8(255),
                   SplatPoint::Scale::linearFloat({1, 1, 1}), {0.5f, 0.25f, 0.125f, 2});
    std::vector<std::uint8_t> bytes = writePLY(3, true, {rgb});
    std::string text(bytes.begin(), bytes.end());
    std::string expectedHeader = "ply\nformat binary_little_endian 1.0\nelement vertex 1\nproperty float x\n"
                                 "property float y\nproperty float z\nproperty float nx\nproperty float ny\n"
                                 "property float nz\nproperty float f_dc_0\nproperty float f_dc_1\nproperty float f_dc_2\n";
    for (int k = 0; k < 45; ++k) expectedHeader += "property float f_rest_" + std::to_string(k) + "\n";
    expectedHeader += "property float opacity\nproperty float scale_0\nproperty float scale_1\nproperty float scale_2\n"
                      "property float rot_0\nproperty float rot_1\nproperty float rot_2\nproperty float rot_3\nend_header\n";
    ASSERT_EQ(text.substr(0, expectedHeader.size()), expectedHeader);
    ASSERT_EQ(bytes.size(), expectedHeader.size() + 62 * 4);
    float values[62];
    std::memcpy(values, bytes.data() + expectedHeader.size(), sizeof values);
    EXPECT_EQ(values[3], 0.0f);
    EXPECT_EQ(values[5], 1.0f);  // normals 0, 0, 1
    EXPECT_NEAR(values[6], 1.7724538f, 1e-6);
    for (int k = 9; k < 54; ++k) EXPECT_EQ(values[k], 0.0f);  // 45 zero f_rest values
    EXPECT_NEAR(values[54], 6.2364f, 1e-4);                  // logit of the byte's bin centre
    EXPECT_EQ(values[55], 0.0f);                             // ln 1
    EXPECT_EQ(values[58], 2.0f);                             // rot_0 = w
    EXPECT_EQ(values[59], 0.5f);
    EXPECT_EQ(values[61], 0.125f);
}

TEST(SplatPLYScene, AsciiHarmonicsAreChannelMajor) {
    std::vector<std::uint8_t> bytes = writePLY(1, false, {shPoint(0, 4)});
    std::string text(bytes.begin(), bytes.end());
    std::string body = text.substr(text.find("end_header\n") + 11);
    // x y z, normals, DC, then f_rest: red of triples 1-3, green, blue.
    EXPECT_EQ(body, "0.0 -0.0 0.5 0.0 0.0 1.0 0.0 0.25 -0.0 1.0 2.0 3.0 1.25 2.25 3.25 -1.0 -2.0 -3.0 -1.5 -3.0 -2.0 -1.0 "
                    "0.9 0.1 0.2 0.3\n");
}

TEST(SplatPLYScene, WriterStatesAndCounts) {
    SplatPLYSceneWriter writer(plykit::WriterDestination::memory());
    auto kindOf = [](const std::function<void()>& action) {
        try {
            action();
        } catch (const SplatPLYSceneWriter::Error& error) {
            return error.kind();
        }
        ADD_FAILURE() << "no writer error";
        return SplatPLYSceneWriter::ErrorKind::notStarted;
    };
    EXPECT_EQ(kindOf([&] { writer.write({shPoint(0, 1)}); }), SplatPLYSceneWriter::ErrorKind::notStarted);
    EXPECT_EQ(kindOf([&] { writer.start(0, true, std::int64_t(UINT32_MAX) + 1); }),
              SplatPLYSceneWriter::ErrorKind::pointCountOutOfRange);
    writer.start(0, true, 5);
    EXPECT_EQ(kindOf([&] { writer.start(0, true, 5); }), SplatPLYSceneWriter::ErrorKind::alreadyStarted);
    std::vector<SplatPoint> ten(10, shPoint(0, 1));
    EXPECT_EQ(kindOf([&] { writer.write(ten); }), SplatPLYSceneWriter::ErrorKind::unexpectedPoints);
    writer.write(std::vector<SplatPoint>(5, shPoint(0, 1)));
    writer.close();
    EXPECT_EQ(kindOf([&] { writer.write({}); }), SplatPLYSceneWriter::ErrorKind::cannotWriteAfterClose);
    EXPECT_EQ(SplatPLYSceneReader(*writer.writtenData()).readAll().size(), 5u);
}

TEST(SplatPLYScene, ClosingBeforeEveryAnnouncedPointFails) {
    tessaron::testing::TempDir folder;
    SplatPLYSceneWriter writer(folder / "short.ply");
    writer.start(3, true, 4);
    writer.write({shPoint(0, 16)});
    EXPECT_THROW(writer.close(), plykit::PLYWriter::Error);
}
