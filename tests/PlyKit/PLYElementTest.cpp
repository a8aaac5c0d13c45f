#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "PlyKit/ByteCodec.hpp"
#include "PlyKit/NumberCoding.hpp"
#include "PlyKit/PLYElement.hpp"
#include "PlyTestSupport.hpp"

using plykit::PLYElement;
using plykit::PLYHeader;
using Type = PLYHeader::PrimitivePropertyType;
using DecodeKind = PLYElement::ASCIIDecodeErrorKind;
using EncodeKind = PLYElement::BinaryEncodeErrorKind;
using plykit::testing::list;
using plykit::testing::scalar;

namespace {

const PLYHeader::Element kVertex{"vertex", 1, {scalar("x", Type::float32), scalar("y", Type::float32)}};
const PLYHeader::Element kFace{"face", 1, {list("vertex_indices", Type::uint8, Type::int32)}};

struct ASCIICase {
    std::string name;
    PLYHeader::Element element;
    std::string line;
    std::optional<DecodeKind> error;  // none: decodes to `expected`
    std::string description;
    std::vector<PLYElement::Property> expected;
};

void PrintTo(const ASCIICase& asciiCase, std::ostream* out) { *out << asciiCase.name; }

class ASCIIDecoding : public ::testing::TestWithParam<ASCIICase> {};

TEST_P(ASCIIDecoding, DecodesOrFailsWithTheExactText) {
    const auto& expected = GetParam();
    PLYElement element;
    if (!expected.error) {
        element.decodeASCII(expected.element, expected.line, 0);
        EXPECT_EQ(element.properties, expected.expected);
        return;
    }
    try {
        element.decodeASCII(expected.element, expected.line, 0);
        FAIL() << "decoded";
    } catch (const PLYElement::ASCIIDecodeError& error) {
        EXPECT_EQ(error.kind(), *expected.error);
        EXPECT_EQ(std::string(error.what()), expected.description);
    }
}

const PLYHeader::Element kByte{"e", 1, {scalar("b", Type::uint8)}};
const PLYHeader::Element kSignedList{"e", 1, {list("l", Type::int8, Type::int16)}};
const PLYHeader::Element kNoProperties{"empty", 1, {}};
const PLYHeader::Element kFloatCountList{"e", 1, {list("l", Type::float32, Type::int16)}};
const PLYHeader::Element kLimits{"limits",
                                 1,
                                 {scalar("a", Type::int8), scalar("b", Type::uint8), scalar("c", Type::int16),
                                  scalar("d", Type::uint16), scalar("e", Type::int32), scalar("f", Type::uint32)}};

INSTANTIATE_TEST_SUITE_P(
    Lines, ASCIIDecoding,
    ::testing::Values(
        ASCIICase{"TwoFloats", kVertex, "1.5 2", {}, "", {1.5f, 2.0f}},
        ASCIICase{"TabsAndOuterBlanks", kVertex, " \t1.5\t2 ", {}, "", {1.5f, 2.0f}},
        ASCIICase{"UnicodeSpaceSeparates", kVertex, "1.5\xC2\xA0-2e3\xE3\x80\x80", {}, "", {1.5f, -2000.0f}},
        ASCIICase{"OneValueShort", kVertex, "1.5", DecodeKind::bodyMissingPropertyValuesInElement,
                  "Missing values for property y in element vertex, index 0", {}},
        ASCIICase{"OneValueTooMany", kVertex, "1.5 2 3", DecodeKind::bodyUnexpectedValuesInElement,
                  "Unexpected values in element vertex, index 0", {}},
        ASCIICase{"TwoBlanksMakeAnEmptyToken", kVertex, "1.5  2", DecodeKind::bodyInvalidStringForPropertyType,
                  "Invalid type string for property y in element vertex, index 0", {}},
        ASCIICase{"CarriageReturnStays", kVertex, "1.5 2\r", DecodeKind::bodyInvalidStringForPropertyType,
                  "Invalid type string for property y in element vertex, index 0", {}},
        ASCIICase{"DecimalComma", kVertex, "1,5 2", DecodeKind::bodyInvalidStringForPropertyType,
                  "Invalid type string for property x in element vertex, index 0", {}},
        ASCIICase{"ByteOutOfRange", kByte, "256", DecodeKind::bodyInvalidStringForPropertyType,
                  "Invalid type string for property b in element e, index 0", {}},
        ASCIICase{"ByteWithPlus", kByte, "+7", {}, "", {std::uint8_t(7)}},
        ASCIICase{"ByteMinusZero", kByte, "-0", {}, "", {std::uint8_t(0)}},
        ASCIICase{"ByteHex", kByte, "0x10", DecodeKind::bodyInvalidStringForPropertyType,
                  "Invalid type string for property b in element e, index 0", {}},
        ASCIICase{"ByteDecimalPoint", kByte, "1.0", DecodeKind::bodyInvalidStringForPropertyType,
                  "Invalid type string for property b in element e, index 0", {}},
        ASCIICase{"ByteLoneSign", kByte, "-", DecodeKind::bodyInvalidStringForPropertyType,
                  "Invalid type string for property b in element e, index 0", {}},
        ASCIICase{"IntegerLimits", kLimits, "-128 255 -32768 65535 -2147483648 4294967295", {}, "",
                  {std::int8_t(-128), std::uint8_t(255), std::int16_t(-32768), std::uint16_t(65535),
                   std::int32_t(std::numeric_limits<std::int32_t>::min()), std::uint32_t(4294967295u)}},
        ASCIICase{"IntegerBeyondLimits", kLimits, "-128 255 -32768 65535 -2147483649 0",
                  DecodeKind::bodyInvalidStringForPropertyType,
                  "Invalid type string for property e in element limits, index 0", {}},
        ASCIICase{"List", kFace, "3 1 2 3", {}, "", {std::vector<std::int32_t>{1, 2, 3}}},
        ASCIICase{"EmptyList", kFace, "0", {}, "", {std::vector<std::int32_t>{}}},
        ASCIICase{"ListShort", kFace, "3 1 2", DecodeKind::bodyMissingPropertyValuesInElement,
                  "Missing values for property vertex_indices in element face, index 0", {}},
        ASCIICase{"ListCountTooLargeForLine", kFace, "255 1", DecodeKind::bodyMissingPropertyValuesInElement,
                  "Missing values for property vertex_indices in element face, index 0", {}},
        ASCIICase{"ListEntryInvalid", kFace, "2 1 x", DecodeKind::bodyInvalidStringForPropertyType,
                  "Invalid type string for property vertex_indices in element face, index 0", {}},
        ASCIICase{"NegativeListCount", kSignedList, "-1 5", DecodeKind::bodyInvalidStringForPropertyType,
                  "Invalid type string for property l in element e, index 0", {}},
        ASCIICase{"FloatListCount", kFloatCountList, "1 5", DecodeKind::bodyInvalidStringForPropertyType,
                  "Invalid type string for property l in element e, index 0", {}},
        ASCIICase{"NoPropertiesEmptyLine", kNoProperties, "", DecodeKind::bodyUnexpectedValuesInElement,
                  "Unexpected values in element empty, index 0", {}},
        ASCIICase{"EmptyLineForValues", kVertex, "", DecodeKind::bodyInvalidStringForPropertyType,
                  "Invalid type string for property x in element vertex, index 0", {}}),
    [](const auto& info) { return info.param.name; });

TEST(PLYElementASCII, ErrorTextsShowTheCallersIndex) {
    PLYElement element;
    try {
        element.decodeASCII(kVertex, "1", 7);
        FAIL();
    } catch (const PLYElement::ASCIIDecodeError& error) {
        EXPECT_EQ(std::string(error.what()), "Missing values for property y in element vertex, index 7");
        EXPECT_EQ(error.index(), 7u);
        EXPECT_EQ(error.property()->name, "y");
    }
}

TEST(PLYElementASCII, FloatTokensFollowTheCLibrarysForms) {
    struct Token {
        std::string text;
        double value;
    };
    for (const auto& token : {Token{"+1.5", 1.5}, Token{".5", 0.5}, Token{"5.", 5.0}, Token{"1E2", 100.0},
                              Token{"0x1p-2", 0.25}, Token{"-0X1.8P1", -3.0}, Token{"INF", INFINITY},
                              Token{"-infinity", -INFINITY}, Token{"1e999", INFINITY}, Token{"-1e999", -INFINITY},
                              Token{"1e-999", 0.0}}) {
        auto parsed = plykit::numbers::parseDouble(token.text);
        ASSERT_TRUE(parsed) << token.text;
        EXPECT_EQ(*parsed, token.value) << token.text;
    }
    for (const char* text : {"NaN", "nan(123)", "-nan"}) EXPECT_TRUE(std::isnan(*plykit::numbers::parseFloat(text)));
    for (const char* text : {"", "+", "+-1", "--1", " 1", "1 ", "1e", "0x", "0xg", "0xinf", "1,5", "1.5f", "\r1"})
        EXPECT_FALSE(plykit::numbers::parseDouble(text)) << text;
    // Read at 32 bits directly: this decimal lies just above a float halfway
    // point, which a detour through double would round the other way.
    EXPECT_EQ(plykit::bitPattern(*plykit::numbers::parseFloat("1.00000005960464477539062500000001")), 0x3F800001u);
    EXPECT_EQ(*plykit::numbers::parseFloat("1e39"), INFINITY);
    EXPECT_EQ(*plykit::numbers::parseFloat("1e-46"), 0.0f);
    EXPECT_EQ(plykit::bitPattern(*plykit::numbers::parseFloat("1e-45")), 1u);
}

TEST(PLYElementASCII, DescriptionsPrintShortestRoundTripText) {
    PLYElement element({std::int16_t(-5), std::vector<std::uint8_t>{1, 2}, 0.1f});
    EXPECT_EQ(element.description(), "-5 2 1 2 0.1");
    EXPECT_EQ(PLYElement::Property(std::vector<double>{}).description(), "0");
    EXPECT_EQ(PLYElement::Property(1.0f).description(), "1.0");
    EXPECT_EQ(PLYElement::Property(-0.0).description(), "-0.0");
    EXPECT_EQ(PLYElement::Property(0.1).description(), "0.1");
    EXPECT_EQ(PLYElement::Property(1e16f).description(), "1e+16");
    EXPECT_EQ(PLYElement::Property(std::numeric_limits<float>::infinity()).description(), "inf");
    EXPECT_EQ(PLYElement::Property(-std::numeric_limits<double>::infinity()).description(), "-inf");
    EXPECT_EQ(PLYElement::Property(-std::numeric_limits<double>::quiet_NaN()).description(), "nan");
    EXPECT_EQ(PLYElement::Property(std::int8_t(-128)).description(), "-128");
    EXPECT_EQ(PLYElement::Property(std::uint32_t(4294967295u)).description(), "4294967295");
}

// Random bit patterns of both widths: the printed text reads back to the
// same bits at the same width.
TEST(PLYElementASCII, FloatTextReadsBackToTheSameBits) {
    std::mt19937_64 random(12345);
    for (int i = 0; i < 200000; ++i) {
        std::uint64_t bits = random();
        float single = plykit::fromBitPattern<float>(std::uint32_t(bits));
        double wide = plykit::fromBitPattern<double>(bits);
        if (!std::isnan(single)) {
            std::string text = PLYElement::Property(single).description();
            ASSERT_EQ(plykit::bitPattern(*plykit::numbers::parseFloat(text)), plykit::bitPattern(single)) << text;
        }
        if (!std::isnan(wide)) {
            std::string text = PLYElement::Property(wide).description();
            ASSERT_EQ(plykit::bitPattern(*plykit::numbers::parseDouble(text)), plykit::bitPattern(wide)) << text;
        }
    }
}

TEST(PLYElementBinary, DecodesOnlyWhatIsAvailable) {
    std::vector<std::uint8_t> bytes = {0xFF, 4, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0};
    PLYElement element;
    std::uint64_t needed = 0;
    EXPECT_EQ(element.decodeBinary(kFace, bytes.data(), 1, 10, false, &needed), std::nullopt);
    EXPECT_EQ(needed, 17u);
    EXPECT_EQ(element.decodeBinary(kFace, bytes.data(), 1, 0, false, &needed), std::nullopt);
    EXPECT_EQ(needed, 1u);
    EXPECT_EQ(element.decodeBinary(kFace, bytes.data(), 1, 17, false), 17u);
    EXPECT_EQ(element.properties, (std::vector<PLYElement::Property>{std::vector<std::int32_t>{1, 2, 3, 4}}));
    EXPECT_EQ(PLYElement().decodeBinary(kNoProperties, nullptr, 0, 0, false), 0u);
}

TEST(PLYElementBinary, RefusesNegativeCountsAndFloatCountTypes) {
    std::vector<std::uint8_t> negative = {0xFF, 0, 0};
    PLYElement element;
    try {
        element.decodeBinary(kSignedList, negative.data(), 0, negative.size(), true);
        FAIL();
    } catch (const PLYElement::BinaryDecodeError& error) {
        EXPECT_EQ(error.kind(), PLYElement::BinaryDecodeErrorKind::negativeListCount);
        EXPECT_EQ(std::string(error.what()), "Negative list count -1 for property l in element e");
    }
    std::vector<std::uint8_t> four(4);
    EXPECT_THROW(element.decodeBinary(kFloatCountList, four.data(), 0, 4, false), PLYElement::BinaryDecodeError);
}

TEST(PLYElementBinary, EncodesCountsAndValuesInTheRequestedOrder) {
    PLYElement element({1.0f});
    PLYHeader::Element x{"v", 1, {scalar("x", Type::float32)}};
    std::vector<std::uint8_t> memory(4);
    EXPECT_EQ(element.encodeBinary(x, memory.data(), 0, true), 4u);
    EXPECT_EQ(memory, (std::vector<std::uint8_t>{0x3F, 0x80, 0x00, 0x00}));
    element.encodeBinary(x, memory.data(), 0, false);
    EXPECT_EQ(memory, (std::vector<std::uint8_t>{0x00, 0x00, 0x80, 0x3F}));

    PLYHeader::Element bytesList{"f", 1, {list("l", Type::uint8, Type::uint8)}};
    PLYElement full({std::vector<std::uint8_t>(255, 7)});
    std::vector<std::uint8_t> encoded(full.binaryByteCount(bytesList));
    EXPECT_EQ(encoded.size(), 256u);
    EXPECT_EQ(full.encodeBinary(bytesList, encoded.data(), 0, false), 256u);
    EXPECT_EQ(encoded[0], 0xFF);
}

struct EncodeErrorCase {
    std::string name;
    PLYHeader::Element element;
    PLYElement value;
    EncodeKind kind;
};

void PrintTo(const EncodeErrorCase& encodeCase, std::ostream* out) { *out << encodeCase.name; }

class BinaryEncodeErrors : public ::testing::TestWithParam<EncodeErrorCase> {};

TEST_P(BinaryEncodeErrors, NameTheMismatch) {
    const auto& expected = GetParam();
    std::vector<std::uint8_t> memory(1 << 10);
    try {
        expected.value.encodeBinary(expected.element, memory.data(), 0, false);
        FAIL();
    } catch (const PLYElement::BinaryEncodeError& error) {
        EXPECT_EQ(error.kind(), expected.kind);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BinaryEncodeErrors,
    ::testing::Values(
        EncodeErrorCase{"PropertyTooFew", kVertex, PLYElement({1.0f}), EncodeKind::propertyCountMismatch},
        EncodeErrorCase{"DoubleForFloat", kVertex, PLYElement({1.0f, 2.0}), EncodeKind::typeMismatch},
        EncodeErrorCase{"ScalarForList", kFace, PLYElement({std::int32_t(1)}), EncodeKind::typeMismatch},
        EncodeErrorCase{"ListValueType", kFace, PLYElement({std::vector<std::uint32_t>{1}}), EncodeKind::typeMismatch},
        EncodeErrorCase{"ListForScalar", kByte, PLYElement({std::vector<std::uint8_t>{1}}), EncodeKind::typeMismatch},
        EncodeErrorCase{"CountOverflow", PLYHeader::Element{"f", 1, {list("l", Type::uint8, Type::int8)}},
                        PLYElement({std::vector<std::int8_t>(256)}), EncodeKind::listCountTypeOverflow},
        EncodeErrorCase{"FloatCountType", kFloatCountList, PLYElement({std::vector<std::int16_t>{1}}),
                        EncodeKind::invalidListCountType}),
    [](const auto& info) { return info.param.name; });

}  // namespace
