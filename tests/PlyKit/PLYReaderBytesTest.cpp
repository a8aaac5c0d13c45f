#include <gtest/gtest.h>

#include <string>

#include "PlyKit/PLYReader.hpp"
#include "PlyKit/PLYWriter.hpp"
#include "PlyTestSupport.hpp"

using plykit::PLYElement;
using plykit::PLYHeader;
using plykit::PLYReader;
using Type = PLYHeader::PrimitivePropertyType;
using namespace plykit::testing;

namespace {

// Two scalar points (9 bytes each) after 3 faces, then one trailing element.
PLYHeader header(PLYHeader::Format format, std::uint32_t points) {
    return {format,
            "1.0",
            {{"face", 3, {list("vertex_indices", Type::uint8, Type::int32)}},
             {"point", points, {scalar("x", Type::float32), scalar("id", Type::uint32), scalar("tag", Type::uint8)}},
             {"end", 1, {scalar("mark", Type::int16)}}}};
}

std::vector<PLYElement> rows(std::uint32_t points) {
    std::vector<PLYElement> elements;
    for (int i = 0; i < 3; ++i) elements.push_back(PLYElement({std::vector<std::int32_t>{i, i + 1}}));
    for (std::uint32_t i = 0; i < points; ++i)
        elements.push_back(PLYElement({float(i) * 0.5f, std::uint32_t(i * 7919), std::uint8_t(i)}));
    elements.push_back(PLYElement({std::int16_t(-2)}));
    return elements;
}

}  // namespace

TEST(PLYReaderBytes, ScalarTypesOfBinaryBodiesComeAsTheirBytes) {
    // Many points, so that they span several reads of the input.
    constexpr std::uint32_t points = 300'000;
    for (auto format : {PLYHeader::Format::binaryLittleEndian, PLYHeader::Format::binaryBigEndian}) {
        auto file = writeToMemory(header(format, points), rows(points));
        auto decoded = PLYReader(file).read();
        auto expected = elementsByType(decoded.header, readAllSeries(decoded.elements));

        auto result = PLYReader(file).read();
        ASSERT_TRUE(result.elements.deliverBytes(1));
        std::vector<std::uint8_t> bytes;
        std::size_t count = 0;
        std::vector<std::size_t> otherTypes;
        while (auto series = result.elements.next()) {
            if (series->typeIndex != 1) {
                EXPECT_EQ(series->bytes.size(), 0u);
                otherTypes.push_back(series->typeIndex);
                continue;
            }
            EXPECT_TRUE(series->elements.empty());
            EXPECT_EQ(series->bytes.size(), series->byteInstanceCount * 9);
            EXPECT_EQ(series->count(), series->byteInstanceCount);
            bytes.insert(bytes.end(), series->bytes.begin(), series->bytes.end());
            count += series->byteInstanceCount;
        }
        EXPECT_EQ(otherTypes, (std::vector<std::size_t>{0, 2}));
        ASSERT_EQ(count, points);
        // The bytes decode to the elements the reader decodes itself.
        const auto& declaration = decoded.header.elements[1];
        for (std::size_t i = 0; i < points; ++i) {
            PLYElement element;
            auto used = element.decodeBinary(declaration, bytes.data(), i * 9, 9,
                                             format == PLYHeader::Format::binaryBigEndian);
            ASSERT_EQ(used, std::optional<std::size_t>(9));
            ASSERT_EQ(element, expected[1][i]) << i;
        }
    }
}

TEST(PLYReaderBytes, TypesWithoutOneSizeAndTextBodiesStayDecoded) {
    auto binary = writeToMemory(header(PLYHeader::Format::binaryLittleEndian, 2), rows(2));
    auto result = PLYReader(binary).read();
    EXPECT_FALSE(result.elements.deliverBytes(0));  // a list
    EXPECT_FALSE(result.elements.deliverBytes(3));  // no such type
    auto all = readAllSeries(result.elements);
    for (const auto& series : all) EXPECT_EQ(series.bytes.size(), 0u);
    EXPECT_EQ(elementsByType(result.header, all)[1].size(), 2u);

    auto ascii = writeToMemory(header(PLYHeader::Format::ascii, 2), rows(2));
    auto text = PLYReader(ascii).read();
    EXPECT_FALSE(text.elements.deliverBytes(1));
    EXPECT_EQ(elementsByType(text.header, readAllSeries(text.elements))[1].size(), 2u);
}

namespace {

// Re-encodes `file` in `format`, the scalar types as bytes when `asBytes`.
std::vector<std::uint8_t> convert(const std::vector<std::uint8_t>& file, PLYHeader::Format format, bool asBytes) {
    auto result = PLYReader(file).read();
    bool bigEndian = result.header.format == PLYHeader::Format::binaryBigEndian;
    if (asBytes)
        for (std::size_t type = 0; type < result.header.elements.size(); ++type) result.elements.deliverBytes(type);
    PLYHeader header = result.header;
    header.format = format;
    plykit::PLYWriter writer(plykit::WriterDestination::memory());
    writer.write(header);
    for (const auto& series : result.elements) {
        if (series.elements.empty() && series.byteInstanceCount > 0)
            writer.writeEncoded(series.bytes, series.byteInstanceCount, bigEndian);
        else
            writer.write(series.elements);
    }
    writer.close();
    return *writer.writtenData();
}

}  // namespace

TEST(PLYReaderBytes, BytesWrittenAsTheyCameOrSwappedMatchTheDecodedConversion) {
    constexpr std::uint32_t points = 70'000;
    using Format = PLYHeader::Format;
    for (auto from : {Format::binaryLittleEndian, Format::binaryBigEndian}) {
        auto file = writeToMemory(header(from, points), rows(points));
        for (auto to : {Format::binaryLittleEndian, Format::binaryBigEndian})
            EXPECT_EQ(convert(file, to, true), convert(file, to, false)) << int(from) << " to " << int(to);
    }
}

TEST(PLYReaderBytes, EncodedElementsNeedABinaryBodyOfScalars) {
    auto expectRefused = [](PLYHeader::Format format, std::vector<PLYHeader::Property> properties) {
        plykit::PLYWriter writer(plykit::WriterDestination::memory());
        writer.write(PLYHeader{format, "1.0", {{"thing", 1, std::move(properties)}}});
        std::vector<std::uint8_t> bytes(8, 0);
        try {
            writer.writeEncoded(bytes, 1, false);
            ADD_FAILURE() << "accepted";
        } catch (const plykit::PLYWriter::Error& error) {
            EXPECT_EQ(error.kind(), plykit::PLYWriter::ErrorKind::encodedElementsNeedScalarBinary);
            EXPECT_STREQ(error.what(), "Encoded elements need a binary body and element types of scalar properties");
        }
    };
    expectRefused(PLYHeader::Format::ascii, {scalar("x", Type::float32)});
    expectRefused(PLYHeader::Format::binaryLittleEndian, {list("l", Type::uint8, Type::int32)});
}

TEST(PLYReaderBytes, ElementsOfOneValueWidthSwapLikeTheDecodedConversion) {
    // Each element type has values of one width only, the case swapped as a
    // run of numbers; the counts leave part of a buffer load at the end.
    constexpr std::uint32_t count = 50'001;
    using Format = PLYHeader::Format;
    PLYHeader layout{Format::binaryLittleEndian,
                     "1.0",
                     {{"bytes", count, {scalar("a", Type::uint8), scalar("b", Type::int8)}},
                      {"shorts", count, {scalar("a", Type::int16), scalar("b", Type::uint16)}},
                      {"words", count, {scalar("x", Type::float32), scalar("i", Type::int32), scalar("u", Type::uint32)}},
                      {"doubles", count, {scalar("d", Type::float64)}}}};
    std::vector<PLYElement> elements;
    for (std::uint32_t i = 0; i < count; ++i) elements.push_back(PLYElement({std::uint8_t(i), std::int8_t(-int(i % 100))}));
    for (std::uint32_t i = 0; i < count; ++i)
        elements.push_back(PLYElement({std::int16_t(-int(i % 30000)), std::uint16_t(i * 3)}));
    for (std::uint32_t i = 0; i < count; ++i)
        elements.push_back(PLYElement({float(i) * -0.25f, std::int32_t(-int(i) * 7), std::uint32_t(i * 2654435761u)}));
    for (std::uint32_t i = 0; i < count; ++i) elements.push_back(PLYElement({double(i) / 3.0}));
    for (auto from : {Format::binaryLittleEndian, Format::binaryBigEndian}) {
        layout.format = from;
        auto file = writeToMemory(layout, elements);
        auto original = PLYReader(file).read();
        const auto expected = elementsByType(original.header, readAllSeries(original.elements));
        for (auto to : {Format::binaryLittleEndian, Format::binaryBigEndian}) {
            auto converted = convert(file, to, true);
            EXPECT_EQ(converted, convert(file, to, false)) << int(from) << " to " << int(to);
            auto back = PLYReader(converted).read();
            EXPECT_EQ(elementsByType(back.header, readAllSeries(back.elements)), expected);
        }
    }
}
