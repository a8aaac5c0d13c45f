#include <gtest/gtest.h>

#include "PlyKit/PLYHeader.hpp"
#include "PlyTestSupport.hpp"

using plykit::PLYHeader;
using Kind = PLYHeader::ASCIIDecodeErrorKind;
using Type = PLYHeader::PrimitivePropertyType;
using plykit::testing::list;
using plykit::testing::scalar;

namespace {

struct DecodeErrorCase {
    std::string name;
    std::string text;
    Kind kind;
    std::string description;
};

void PrintTo(const DecodeErrorCase& errorCase, std::ostream* out) { *out << errorCase.name; }

class HeaderDecodeErrors : public ::testing::TestWithParam<DecodeErrorCase> {};

TEST_P(HeaderDecodeErrors, ThrowTheExactText) {
    const auto& expected = GetParam();
    try {
        PLYHeader::decodeASCII(expected.text);
        FAIL() << "decoded without an error";
    } catch (const PLYHeader::ASCIIDecodeError& error) {
        EXPECT_EQ(error.kind(), expected.kind);
        EXPECT_EQ(std::string(error.what()), expected.description);
    }
}

const std::string kFormat = "format ascii 1.0\n";

INSTANTIATE_TEST_SUITE_P(
    EveryCase, HeaderDecodeErrors,
    ::testing::Values(
        DecodeErrorCase{"Empty", "", Kind::headerFormatMissing, "Header format missing"},
        DecodeErrorCase{"OnlyStartAndEnd", "ply\nend_header\n", Kind::headerFormatMissing, "Header format missing"},
        DecodeErrorCase{"NotUTF8", "ply\nformat ascii 1.0\ncomment \xC3\x28\n", Kind::headerInvalidCharacters,
                        "Invalid characters in header"},
        DecodeErrorCase{"SecondFormat", kFormat + "format ascii 1.0\n", Kind::headerUnexpectedKeyword,
                        "Unexpected keyword in header: \"format\""},
        DecodeErrorCase{"ElementBeforeFormat", "element vertex 1\n" + kFormat, Kind::headerUnexpectedKeyword,
                        "Unexpected keyword in header: \"element\""},
        DecodeErrorCase{"PropertyBeforeElement", kFormat + "property float x\n", Kind::headerUnexpectedKeyword,
                        "Unexpected keyword in header: \"property\""},
        DecodeErrorCase{"PropertyBeforeFormat", "property float x\n", Kind::headerUnexpectedKeyword,
                        "Unexpected keyword in header: \"property\""},
        DecodeErrorCase{"FloatListCount", kFormat + "element f 1\nproperty list float int i\n",
                        Kind::headerInvalidListCountType, "Invalid list count type: float"},
        DecodeErrorCase{"Float32ListCount", kFormat + "element f 1\nproperty list float32 int i\n",
                        Kind::headerInvalidListCountType, "Invalid list count type: float32"},
        DecodeErrorCase{"DoubleListCount", kFormat + "element f 1\nproperty list double int i\n",
                        Kind::headerInvalidListCountType, "Invalid list count type: double"},
        DecodeErrorCase{"Float64ListCount", kFormat + "element f 1\nproperty list float64 uchar i\n",
                        Kind::headerInvalidListCountType, "Invalid list count type: float64"},
        DecodeErrorCase{"UnknownListCountType", kFormat + "element f 1\nproperty list byte int i\n",
                        Kind::headerUnknownPropertyType, "Unknown property type: byte"},
        DecodeErrorCase{"UnknownListValueType", kFormat + "element f 1\nproperty list uchar half i\n",
                        Kind::headerUnknownPropertyType, "Unknown property type: half"},
        DecodeErrorCase{"UnknownScalarType", kFormat + "element v 1\nproperty half x\n",
                        Kind::headerUnknownPropertyType, "Unknown property type: half"},
        DecodeErrorCase{"ListWithoutName", kFormat + "element v 1\nproperty list uchar\n",
                        Kind::headerUnknownPropertyType, "Unknown property type: list"},
        DecodeErrorCase{"UnknownFormat", "format binary 1.0\n", Kind::headerInvalidFileFormatType,
                        "Invalid file format type in header: binary"},
        DecodeErrorCase{"FormatWithoutVersion", "format ascii\n", Kind::headerInvalidLine,
                        "Invalid line in header: \"format ascii\""},
        DecodeErrorCase{"FormatEndingInBlank", "format ascii 1.0 \n", Kind::headerInvalidLine,
                        "Invalid line in header: \"format ascii 1.0 \""},
        DecodeErrorCase{"FormatWordNotAWord", "format bin-ary 1.0\n", Kind::headerInvalidLine,
                        "Invalid line in header: \"format bin-ary 1.0\""},
        DecodeErrorCase{"ElementWithoutCount", kFormat + "element vertex\n", Kind::headerInvalidLine,
                        "Invalid line in header: \"element vertex\""},
        DecodeErrorCase{"ElementWithThirdWord", kFormat + "element vertex 3 extra\n", Kind::headerInvalidLine,
                        "Invalid line in header: \"element vertex 3 extra\""},
        DecodeErrorCase{"ElementEndingInBlank", kFormat + "element vertex 3\t\n", Kind::headerInvalidLine,
                        "Invalid line in header: \"element vertex 3\t\""},
        DecodeErrorCase{"ElementNegativeCount", kFormat + "element vertex -3\n", Kind::headerInvalidLine,
                        "Invalid line in header: \"element vertex -3\""},
        DecodeErrorCase{"ElementCountBeyond32Bits", kFormat + "element vertex 4294967296\n", Kind::headerInvalidLine,
                        "Invalid line in header: \"element vertex 4294967296\""},
        DecodeErrorCase{"PropertyEndingInBlank", kFormat + "element v 1\nproperty float x \n",
                        Kind::headerInvalidLine, "Invalid line in header: \"property float x \""},
        DecodeErrorCase{"PropertyWithoutName", kFormat + "element v 1\nproperty float\n", Kind::headerInvalidLine,
                        "Invalid line in header: \"property float\""},
        DecodeErrorCase{"CapitalKeyword", "Format ascii 1.0\n", Kind::headerUnknownKeyword,
                        "Unknown keyword in header: \"Format\""},
        DecodeErrorCase{"UnknownKeywordAfterFormat", kFormat + "  vertex 3\n", Kind::headerUnknownKeyword,
                        "Unknown keyword in header: \"vertex\"" }),
    [](const auto& info) { return info.param.name; });

TEST(PLYHeader, DecodesDeclarationsAndIgnoresCommentsBlankAndLaterLines) {
    auto header = PLYHeader::decodeASCII(
        "ply\n\tformat binary_big_endian 1.0\ncomment made by hand\nply\n   \n"
        "obj_info anything\nelement vertex 2\nproperty float32 x\nproperty uint8 red\n"
        "element face 1\nproperty list uchar int vertex_indices\nend_header\nthis is not a header line\n");
    PLYHeader expected{PLYHeader::Format::binaryBigEndian,
                       "1.0",
                       {{"vertex", 2, {scalar("x", Type::float32), scalar("red", Type::uint8)}},
                        {"face", 1, {list("vertex_indices", Type::uint8, Type::int32)}}}};
    EXPECT_EQ(header, expected);
    EXPECT_EQ(header.description(),
              "ply\nformat binary_big_endian 1.0\nelement vertex 2\nproperty float x\nproperty uchar red\n"
              "element face 1\nproperty list uchar int vertex_indices\n");
}

TEST(PLYHeader, AcceptsEveryLineTerminatorAndKeepsTheVersionAsWritten) {
    auto header = PLYHeader::decodeASCII("format ascii 2.x\r\nelement a 0\rproperty char c\xE2\x80\xA8"
                                         "element b 4294967295\xE2\x80\xA9property double d");
    ASSERT_EQ(header.elements.size(), 2u);
    EXPECT_EQ(header.version, "2.x");
    EXPECT_EQ(header.elements[0].properties[0], scalar("c", Type::int8));
    EXPECT_EQ(header.elements[1].count, 4294967295u);
    EXPECT_EQ(header.elements[1].properties[0], scalar("d", Type::float64));
}

TEST(PLYHeader, PrintsTheShortTypeNamesAndRoundTripsByteForByte) {
    PLYHeader header{PLYHeader::Format::binaryLittleEndian, "1.0", {{"vertex", 2, {}}}};
    header.elements[0].properties.push_back(scalar("x", Type::float32));
    header.elements[0].properties.push_back(list("idx", Type::uint8, Type::int32));
    const std::string printed =
        "ply\nformat binary_little_endian 1.0\nelement vertex 2\nproperty float x\nproperty list uchar int idx\n";
    EXPECT_EQ(header.description(), printed);
    EXPECT_EQ(PLYHeader::decodeASCII(printed).description(), printed);

    PLYHeader everyType{PLYHeader::Format::ascii, "1.0", {{"e", 1, {}}}};
    std::string sizedNames = "format ascii 1.0\nelement e 1\n";
    const char* names[] = {"int8", "uint8", "int16", "uint16", "int32", "uint32", "float32", "float64"};
    for (int i = 0; i < 8; ++i) {
        everyType.elements[0].properties.push_back(scalar("p" + std::to_string(i), Type(i)));
        sizedNames += "property " + std::string(names[i]) + " p" + std::to_string(i) + "\n";
    }
    EXPECT_EQ(PLYHeader::decodeASCII(sizedNames), everyType);
    EXPECT_EQ(everyType.description(),
              "ply\nformat ascii 1.0\nelement e 1\nproperty char p0\nproperty uchar p1\nproperty short p2\n"
              "property ushort p3\nproperty int p4\nproperty uint p5\nproperty float p6\nproperty double p7\n");
}

TEST(PLYHeader, IndexFindsTheFirstOfEqualNames) {
    PLYHeader header{PLYHeader::Format::ascii, "1.0", {{"a", 1, {}}, {"b", 1, {}}, {"b", 2, {}}}};
    EXPECT_EQ(header.index("b"), 1u);
    EXPECT_EQ(header.index("B"), std::nullopt);
    EXPECT_EQ(PLYHeader{}.index("a"), std::nullopt);
    PLYHeader::Element element{"v", 1, {scalar("x", Type::float32), scalar("x", Type::int8)}};
    EXPECT_EQ(element.index("x"), 0u);
    EXPECT_EQ(element.index("y"), std::nullopt);
}

TEST(PLYHeader, FormatAndTypeNamesAreExact) {
    EXPECT_EQ(plykit::formatFromString("binary_little_endian"), PLYHeader::Format::binaryLittleEndian);
    EXPECT_EQ(plykit::formatFromString("ASCII"), std::nullopt);
    EXPECT_EQ(plykit::primitivePropertyTypeFromString("float32"), Type::float32);
    EXPECT_EQ(plykit::primitivePropertyTypeFromString("Float"), std::nullopt);
    EXPECT_NE(PLYHeader::PropertyType::list(Type::uint8, Type::int32),
              PLYHeader::PropertyType::list(Type::uint16, Type::int32));
    EXPECT_NE(PLYHeader::PropertyType::primitive(Type::int32), PLYHeader::PropertyType::list(Type::int8, Type::int32));
}

}  // namespace
