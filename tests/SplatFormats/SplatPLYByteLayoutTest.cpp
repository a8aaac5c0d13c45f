// Binary vertices decoded by their byte layout must give the very points the
// property-by-property decoding gives: same bits, same batches' contents,
// same errors, on every encoding and layout.
#include <gtest/gtest.h>

#include <bit>
#include <ostream>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "PlyKit/PLYWriter.hpp"
#include "SplatFormats/SplatPLYSceneReader.hpp"

using plykit::PLYElement;
using plykit::PLYHeader;
using splatformats::SplatPLYSceneReader;
using splatformats::SplatPoint;
using Type = PLYHeader::PrimitivePropertyType;

namespace {

struct Layout {
    std::string name;
    PLYHeader::Format format;
    std::vector<PLYHeader::Element> elements;  // counts filled in
};

// Shown by the parameterised suite instead of the object's bytes.
void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

PLYHeader::Property scalar(const std::string& name, Type type = Type::float32) {
    return {name, PLYHeader::PropertyType::primitive(type)};
}

std::vector<PLYHeader::Property> trainingVertex() {
    std::vector<PLYHeader::Property> properties;
    for (const char* name : {"x", "y", "z", "nx", "ny", "nz", "f_dc_0", "f_dc_1", "f_dc_2"})
        properties.push_back(scalar(name));
    for (int k = 0; k < 45; ++k) properties.push_back(scalar("f_rest_" + std::to_string(k)));
    for (const char* name : {"opacity", "scale_0", "scale_1", "scale_2", "rot_0", "rot_1", "rot_2", "rot_3"})
        properties.push_back(scalar(name));
    return properties;
}

std::vector<PLYHeader::Property> geometryWith(std::vector<PLYHeader::Property> colour) {
    std::vector<PLYHeader::Property> properties = {scalar("x"), scalar("y"), scalar("z")};
    properties.insert(properties.end(), colour.begin(), colour.end());
    for (const char* name : {"opacity", "scale_0", "scale_1", "scale_2", "rot_0", "rot_1", "rot_2", "rot_3"})
        properties.push_back(scalar(name));
    return properties;
}

// Floats that a careless copy would change: NaN payloads, signed zeros,
// infinities, subnormals, beside ordinary values.
float awkwardFloat(std::mt19937& random) {
    static const std::uint32_t specials[] = {0x7FC01234u, 0xFFA00001u, 0x80000000u, 0x7F800000u, 0x00000001u, 0x43800000u};
    if (random() % 8 == 0) return std::bit_cast<float>(specials[random() % std::size(specials)]);
    return std::normal_distribution<float>(0.0f, 200.0f)(random);
}

PLYElement::Property valueOf(const PLYHeader::PropertyType& type, std::mt19937& random) {
    if (type.isList()) return std::vector<std::int32_t>{std::int32_t(random() % 100), 1, 2};
    switch (type.valueType()) {
        case Type::int8: return std::int8_t(random());
        case Type::uint8: return std::uint8_t(random());
        case Type::int16: return std::int16_t(random());
        case Type::uint16: return std::uint16_t(random());
        case Type::int32: return std::int32_t(random());
        case Type::uint32: return std::uint32_t(random());
        case Type::float32: return awkwardFloat(random);
        case Type::float64: return double(awkwardFloat(random));
    }
    return 0.0f;
}

std::vector<std::uint8_t> fileOf(const Layout& layout) {
    plykit::PLYWriter writer(plykit::WriterDestination::memory());
    PLYHeader header{layout.format, "1.0", layout.elements};
    writer.write(header);
    std::mt19937 random(17);
    for (const auto& element : layout.elements) {
        std::vector<PLYElement> rows(element.count);
        for (auto& row : rows)
            for (const auto& property : element.properties) row.properties.push_back(valueOf(property.type, random));
        writer.write(rows);
    }
    writer.close();
    return *writer.writtenData();
}

// Every field of a point as bits, so that NaNs compare by payload.
std::vector<std::uint32_t> bitsOf(const SplatPoint& point) {
    std::vector<std::uint32_t> bits;
    auto add = [&](float value) { bits.push_back(std::bit_cast<std::uint32_t>(value)); };
    for (float value : point.position) add(value);
    bits.push_back(std::uint32_t(point.color.kind()));
    for (auto byte : point.color.sRGB()) bits.push_back(byte);
    bits.push_back(std::uint32_t(point.color.sphericalHarmonics().size()));
    for (const auto& triple : point.color.sphericalHarmonics())
        for (float value : triple) add(value);
    bits.push_back(std::uint32_t(point.opacity.kind()));
    add(point.opacity.floatValue());
    bits.push_back(point.opacity.byteValue());
    bits.push_back(std::uint32_t(point.scale.kind()));
    for (float value : point.scale.values()) add(value);
    for (float value : {point.rotation.x, point.rotation.y, point.rotation.z, point.rotation.w}) add(value);
    return bits;
}

struct Outcome {
    std::vector<std::vector<std::uint32_t>> points;
    std::string error;
};

Outcome readWith(const std::vector<std::uint8_t>& bytes, SplatPLYSceneReader::BodyDecoding decoding) {
    SplatPLYSceneReader reader(bytes);
    reader.setBodyDecoding(decoding);
    Outcome outcome;
    try {
        auto sequence = reader.read();
        while (auto batch = sequence.next())
            for (const auto& point : *batch) outcome.points.push_back(bitsOf(point));
    } catch (const std::exception& error) {
        outcome.error = error.what();
    }
    return outcome;
}

void expectSameOutcome(const std::vector<std::uint8_t>& bytes, std::size_t expectedPoints, const std::string& expectedError) {
    Outcome byLayout = readWith(bytes, SplatPLYSceneReader::BodyDecoding::byLayout);
    Outcome perProperty = readWith(bytes, SplatPLYSceneReader::BodyDecoding::perProperty);
    EXPECT_EQ(perProperty.error, expectedError);
    EXPECT_EQ(perProperty.points.size(), expectedPoints);
    EXPECT_EQ(byLayout.error, perProperty.error);
    ASSERT_EQ(byLayout.points.size(), perProperty.points.size());
    for (std::size_t i = 0; i < byLayout.points.size(); ++i) ASSERT_EQ(byLayout.points[i], perProperty.points[i]) << "point " << i;
}

PLYHeader::Element vertex(std::uint32_t count, std::vector<PLYHeader::Property> properties) {
    return {"vertex", count, std::move(properties)};
}

PLYHeader::Element face(std::uint32_t count) {
    return {"face", count, {{"vertex_indices", PLYHeader::PropertyType::list(Type::uint8, Type::int32)}}};
}

std::vector<Layout> layouts() {
    std::vector<Layout> result;
    for (auto format : {PLYHeader::Format::binaryLittleEndian, PLYHeader::Format::binaryBigEndian}) {
        std::string suffix = format == PLYHeader::Format::binaryBigEndian ? "BigEndian" : "LittleEndian";
        // Beyond one read of the input, so vertices straddle reads.
        result.push_back({"TrainingLayout" + suffix, format, {vertex(5000, trainingVertex())}});

        // Near the training layout, so on offsets worked out from the header
        // rather than the common layout's constant ones.
        auto withoutNormals = trainingVertex();
        withoutNormals.erase(withoutNormals.begin() + 3, withoutNormals.begin() + 6);
        result.push_back({"TrainingLayoutWithoutNormals" + suffix, format, {vertex(1500, withoutNormals)}});
        auto withTrailer = trainingVertex();
        withTrailer.push_back(scalar("confidence"));
        result.push_back({"TrainingLayoutWithTrailingExtra" + suffix, format, {vertex(1500, withTrailer)}});

        auto reordered = trainingVertex();
        std::reverse(reordered.begin(), reordered.end());
        reordered.insert(reordered.begin() + 7, scalar("density", Type::float64));
        reordered.insert(reordered.begin() + 20, scalar("label", Type::uint16));
        reordered.push_back(scalar("flag", Type::int8));
        result.push_back({"ReorderedWithExtras" + suffix, format, {vertex(3000, reordered)}});

        result.push_back({"ByteColour" + suffix, format,
                          {vertex(700, geometryWith({scalar("red", Type::uint8), scalar("green", Type::uint8),
                                                     scalar("blue", Type::uint8), scalar("alpha", Type::uint8)}))}});
        result.push_back({"FloatColour" + suffix, format,
                          {vertex(700, geometryWith({scalar("red"), scalar("green"), scalar("blue")}))}});
        result.push_back({"DcOnlyBesideOtherElements" + suffix, format,
                          {{"camera", 2, {scalar("fx", Type::float64), scalar("fy", Type::float64)}},
                           vertex(900, geometryWith({scalar("f_dc_0"), scalar("f_dc_1"), scalar("f_dc_2")})),
                           face(40)}});
        // A list in the vertex: no single size, so decoded per property.
        auto withList = geometryWith({scalar("f_dc_0"), scalar("f_dc_1"), scalar("f_dc_2")});
        withList.push_back({"neighbours", PLYHeader::PropertyType::list(Type::uint8, Type::int32)});
        result.push_back({"ListInVertex" + suffix, format, {face(3), vertex(400, withList)}});
    }
    return result;
}

std::size_t vertexCount(const Layout& layout) {
    for (const auto& element : layout.elements)
        if (element.name == "vertex") return element.count;
    return 0;
}

class SplatPLYByteLayout : public ::testing::TestWithParam<Layout> {};

}  // namespace

TEST_P(SplatPLYByteLayout, AgreesBitForBitWithPerPropertyDecoding) {
    expectSameOutcome(fileOf(GetParam()), vertexCount(GetParam()), "");
}

TEST_P(SplatPLYByteLayout, TruncatedBodiesEndWithTheSameErrorAfterTheSamePoints) {
    auto bytes = fileOf(GetParam());
    const auto& layout = GetParam();
    bool verticesLast = layout.elements.back().name == "vertex";
    // Cut inside the last element of the file, then one byte short of it.
    for (std::size_t cut : {std::size_t(1), std::size_t(37), bytes.size() / 3}) {
        auto truncated = bytes;
        truncated.resize(bytes.size() - cut);
        Outcome byLayout = readWith(truncated, SplatPLYSceneReader::BodyDecoding::byLayout);
        Outcome perProperty = readWith(truncated, SplatPLYSceneReader::BodyDecoding::perProperty);
        EXPECT_EQ(perProperty.error, "Unexpected end-of-file while reading input");
        EXPECT_EQ(byLayout.error, perProperty.error) << "cut " << cut;
        EXPECT_EQ(byLayout.points, perProperty.points) << "cut " << cut;
        if (verticesLast) {
            EXPECT_LT(perProperty.points.size(), vertexCount(layout));
        }
    }
}

TEST_P(SplatPLYByteLayout, ContentPastTheBodyIsRefusedAlike) {
    auto bytes = fileOf(GetParam());
    bytes.push_back(0);
    expectSameOutcome(bytes, vertexCount(GetParam()), "Unexpected content past end of expected body");
}

INSTANTIATE_TEST_SUITE_P(Encodings, SplatPLYByteLayout, ::testing::ValuesIn(layouts()),
                         [](const auto& info) { return info.param.name; });
