#include <gtest/gtest.h>

#include <functional>

#include "PlyKit/ByteCodec.hpp"
#include "PlyKit/PLYReader.hpp"
#include "PlyTestSupport.hpp"
#include "support/Fifo.hpp"
#include "support/TempDir.hpp"

using plykit::PLYElement;
using plykit::PLYHeader;
using plykit::PLYReader;
using ReaderKind = PLYReader::ErrorKind;
using Type = PLYHeader::PrimitivePropertyType;
using namespace plykit::testing;

namespace {

// Runs `action` and expects a PLYReader::Error of `kind`.
void expectReaderError(ReaderKind kind, const std::function<void()>& action) {
    try {
        action();
        ADD_FAILURE() << "no error";
    } catch (const PLYReader::Error& error) {
        EXPECT_EQ(error.kind(), kind) << error.what();
    }
}

std::vector<PLYReader::ElementSeries> readAll(const std::string& file) {
    auto result = PLYReader(bytesOf(file)).read();
    return readAllSeries(result.elements);
}

TEST(PLYReader, HeaderStartMustBeTheFirstFourBytes) {
    for (const char* file : {"", "ply", "ply\r\nformat ascii 1.0\nend_header\n", " ply\nformat ascii 1.0\nend_header\n",
                             "PLY\nformat ascii 1.0\nend_header\n"}) {
        try {
            PLYReader(bytesOf(file)).read();
            ADD_FAILURE() << file;
        } catch (const PLYReader::Error& error) {
            EXPECT_EQ(error.kind(), ReaderKind::headerStartMissing);
            EXPECT_EQ(std::string(error.what()), "Header start missing");
        }
    }
}

TEST(PLYReader, HeaderEndMustFollowWithinTheLimit) {
    expectReaderError(ReaderKind::headerEndMissing, [] { PLYReader(bytesOf("ply\nformat ascii 1.0\n")).read(); });
    expectReaderError(ReaderKind::headerEndMissing,
                      [] { PLYReader(bytesOf("ply\nformat ascii 1.0\r\nend_header\r\n")).read(); });
    // "end_header\n" may end at most 0x40000 + 11 bytes after the start line.
    auto fileWithComment = [](std::size_t headerBytes) {
        std::string header = "format ascii 1.0\n";
        std::string comment = "comment ";
        comment += std::string(headerBytes - 11 - header.size() - comment.size() - 1, 'c') + "\n";
        return "ply\n" + header + comment + "end_header\n";
    };
    auto atLimit = PLYReader(bytesOf(fileWithComment(0x40000 + 11))).read();
    EXPECT_EQ(atLimit.header.format, PLYHeader::Format::ascii);
    expectReaderError(ReaderKind::headerEndMissing,
                      [&] { PLYReader(bytesOf(fileWithComment(0x40000 + 12))).read(); });
    // CR LF inside the header is a line end of the header grammar; only the
    // end line must end in a bare LF.
    EXPECT_EQ(PLYReader(bytesOf("ply\nformat ascii 1.0\r\nend_header\n")).read().header.format,
              PLYHeader::Format::ascii);
    expectReaderError(ReaderKind::headerEndMissing, [] { PLYReader(bytesOf("ply\n")).read(); });
}

TEST(PLYReader, HeaderErrorsAreThrownByRead) {
    try {
        PLYReader(bytesOf("ply\nformat binary 1.0\nend_header\n")).read();
        FAIL();
    } catch (const PLYHeader::ASCIIDecodeError& error) {
        EXPECT_EQ(std::string(error.what()), "Invalid file format type in header: binary");
    }
}

TEST(PLYReader, ASCIIBatchesHoldAtMost1024Elements) {
    std::string file = "ply\nformat ascii 1.0\nelement v 2500\nproperty int i\nelement w 1\nproperty int j\nend_header\n";
    for (int i = 0; i < 2500; ++i) file += std::to_string(i) + "\n";
    file += "-1";  // the last line may end without LF
    auto all = readAll(file);
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0].elements.size(), 1024u);
    EXPECT_EQ(all[1].elements.size(), 1024u);
    EXPECT_EQ(all[2].elements.size(), 452u);
    EXPECT_EQ(all[2].elements.back().properties[0], PLYElement::Property(std::int32_t(2499)));
    EXPECT_EQ(all[3].typeIndex, 1u);
    EXPECT_EQ(all[3].elementHeader->name, "w");
    EXPECT_EQ(all[3].elements[0].properties[0], PLYElement::Property(std::int32_t(-1)));
}

TEST(PLYReader, ASCIIBodyEnds) {
    const std::string header = "ply\nformat ascii 1.0\nelement v 2\nproperty uchar a\nend_header\n";
    EXPECT_EQ(readAll(header + "1\n2\n\n\n").size(), 1u);
    expectReaderError(ReaderKind::unexpectedContentAtEndOfBody, [&] { readAll(header + "1\n2\n \n"); });
    expectReaderError(ReaderKind::unexpectedContentAtEndOfBody, [&] { readAll(header + "1\n2\n\r\n"); });
    expectReaderError(ReaderKind::unexpectedContentAtEndOfBody, [&] { readAll(header + "1\n2\n\xFF\n"); });
    expectReaderError(ReaderKind::unexpectedEndOfFile, [&] { readAll(header + "1\n"); });
    expectReaderError(ReaderKind::unexpectedEndOfFile, [&] { readAll(header + "1\n\xFF\n"); });
    try {
        readAll(header + "1\n2 3\n");
        FAIL();
    } catch (const PLYElement::ASCIIDecodeError& error) {
        EXPECT_EQ(std::string(error.what()), "Unexpected values in element v, index 0");
    }
}

TEST(PLYReader, EmptyElementTypesAreSkipped) {
    std::string file = "ply\nformat binary_little_endian 1.0\nelement vertex 0\nproperty float x\n"
                       "element face 2\nproperty list uchar int vertex_indices\nend_header\n";
    file += std::string("\x01\x07\x00\x00\x00\x00", 6);
    auto all = readAll(file);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].typeIndex, 1u);
    EXPECT_EQ(all[0].elements[0].properties[0], PLYElement::Property(std::vector<std::int32_t>{7}));
    EXPECT_EQ(all[0].elements[1].properties[0], PLYElement::Property(std::vector<std::int32_t>{}));

    EXPECT_TRUE(readAll("ply\nformat binary_big_endian 1.0\nelement vertex 0\nproperty float x\nend_header\n").empty());
    EXPECT_TRUE(readAll("ply\nformat ascii 1.0\nelement vertex 0\nproperty float x\nend_header\n").empty());
    // Elements without properties take no bytes, even as the last type, and
    // there is nothing to deliver for them.
    auto empties = readAll("ply\nformat binary_little_endian 1.0\nelement a 1\nproperty uchar x\nelement b 3\n"
                           "end_header\n\x05");
    ASSERT_EQ(empties.size(), 1u);
    EXPECT_EQ(empties[0].typeIndex, 0u);
}

TEST(PLYReader, LongBinaryElementsGrowTheBuffer) {
    const std::uint32_t count = 5000;  // 20004 bytes: more than one input chunk
    std::string file = "ply\nformat binary_big_endian 1.0\nelement face 2\nproperty list uint int i\nend_header\n";
    std::vector<std::uint8_t> body;
    std::vector<std::int32_t> values(count);
    for (std::uint32_t i = 0; i < count; ++i) values[i] = std::int32_t(i) - 2500;
    for (int element = 0; element < 2; ++element) {
        plykit::ByteCodec<std::uint32_t>::append(count, body, true);
        plykit::ByteCodec<std::int32_t>::appendArray(values, body, true);
    }
    file += textOf(body);
    auto all = readAll(file);
    std::size_t decoded = 0;
    for (const auto& series : all)
        for (const auto& element : series.elements) {
            EXPECT_EQ(element.properties[0], PLYElement::Property(values));
            ++decoded;
        }
    EXPECT_EQ(decoded, 2u);
}

TEST(PLYReader, SizeFieldsBeyondTheInputFailAtOnce) {
    // A list count of four billion in a small file: an error, not a huge buffer.
    std::string file = "ply\nformat binary_little_endian 1.0\nelement v 1\nproperty uchar a\n"
                       "element face 1\nproperty list uint double i\nend_header\n\x09";
    file += std::string("\xFF\xFF\xFF\xFF", 4) + std::string(100, '\0');
    auto result = PLYReader(bytesOf(file)).read();
    auto first = result.elements.next();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->elements[0].properties[0], PLYElement::Property(std::uint8_t(9)));
    expectReaderError(ReaderKind::unexpectedEndOfFile, [&] { result.elements.next(); });
    EXPECT_EQ(result.elements.next(), std::nullopt);

    std::string negative = "ply\nformat binary_big_endian 1.0\nelement face 1\nproperty list short int i\nend_header\n";
    negative += std::string("\xFF\xFE", 2) + std::string(8, '\0');
    EXPECT_THROW(readAll(negative), PLYElement::BinaryDecodeError);
}

// Every cut of a binary file fails cleanly: a header error while the header
// is cut, afterwards the elements complete before the cut, then
// "Unexpected end-of-file while reading input". One byte more is content
// past the body.
class BinaryTruncation : public ::testing::TestWithParam<PLYHeader::Format> {};

TEST_P(BinaryTruncation, EveryCutPointFailsAfterTheCompleteElements) {
    PLYHeader header{GetParam(),
                     "1.0",
                     {{"vertex", 3, {scalar("x", Type::float32), scalar("c", Type::uint8)}},
                      {"face", 2, {list("i", Type::uint8, Type::int32), scalar("f", Type::int16)}}}};
    std::vector<PLYElement> elements = {PLYElement({1.5f, std::uint8_t(1)}), PLYElement({-2.0f, std::uint8_t(2)}),
                                        PLYElement({0.25f, std::uint8_t(3)}),
                                        PLYElement({std::vector<std::int32_t>{1, 2, 3}, std::int16_t(-4)}),
                                        PLYElement({std::vector<std::int32_t>{}, std::int16_t(5)})};
    auto file = writeToMemory(header, elements);
    const std::size_t headerSize = header.description().size() + 11;
    for (std::size_t cut = 0; cut < file.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        std::vector<std::uint8_t> truncated(file.begin(), file.begin() + std::ptrdiff_t(cut));
        std::vector<PLYElement> delivered;
        try {
            auto result = PLYReader(truncated).read();
            ASSERT_GE(cut, headerSize);
            while (auto series = result.elements.next())
                delivered.insert(delivered.end(), series->elements.begin(), series->elements.end());
            if (GetParam() == PLYHeader::Format::ascii && cut == file.size() - 1) continue;  // only the last LF cut
            ADD_FAILURE() << "read without an error";
        } catch (const PLYReader::Error& error) {
            if (cut < headerSize) {
                EXPECT_TRUE(error.kind() == ReaderKind::headerStartMissing || error.kind() == ReaderKind::headerEndMissing);
            } else {
                EXPECT_EQ(error.kind(), ReaderKind::unexpectedEndOfFile);
                EXPECT_EQ(std::string(error.what()), "Unexpected end-of-file while reading input");
            }
        } catch (const PLYHeader::ASCIIDecodeError&) {
            EXPECT_LT(cut, headerSize);  // a header cut inside a keyword
        } catch (const PLYElement::ASCIIDecodeError&) {
            EXPECT_EQ(GetParam(), PLYHeader::Format::ascii);  // a line cut inside its values
        }
        ASSERT_LE(delivered.size(), elements.size());
        for (std::size_t i = 0; i < delivered.size(); ++i) EXPECT_EQ(delivered[i], elements[i]);
    }
    auto longer = file;
    longer.push_back(GetParam() == PLYHeader::Format::ascii ? 'x' : 0);
    expectReaderError(ReaderKind::unexpectedContentAtEndOfBody, [&] {
        auto result = PLYReader(longer).read();
        readAllSeries(result.elements);
    });
    EXPECT_EQ(std::string(PLYReader::Error(ReaderKind::unexpectedContentAtEndOfBody).what()),
              "Unexpected content past end of expected body");
}

INSTANTIATE_TEST_SUITE_P(AllFormats, BinaryTruncation,
                         ::testing::Values(PLYHeader::Format::ascii, PLYHeader::Format::binaryLittleEndian,
                                           PLYHeader::Format::binaryBigEndian));

// Recycled elements are only storage: whatever they hold (another type's
// shape, longer or shorter lists, values changed by the consumer), reading
// with recycling delivers exactly what reading without it does.
class Recycling : public ::testing::TestWithParam<PLYHeader::Format> {};

TEST_P(Recycling, DeliversTheSameElementsAsWithout) {
    PLYHeader header{GetParam(),
                     "1.0",
                     {{"vertex", 3000, {scalar("x", Type::float32), scalar("c", Type::uint8)}},
                      {"face", 2000, {list("i", Type::uint8, Type::int32), scalar("f", Type::int16)}},
                      {"vertex2", 1500, {scalar("y", Type::float64)}}}};
    std::vector<PLYElement> elements;
    for (int i = 0; i < 3000; ++i) elements.push_back(PLYElement({float(i) * 0.5f, std::uint8_t(i % 256)}));
    for (int i = 0; i < 2000; ++i)
        elements.push_back(PLYElement({std::vector<std::int32_t>(std::size_t(i % 7), i), std::int16_t(-i)}));
    for (int i = 0; i < 1500; ++i) elements.push_back(PLYElement({double(i) / 3}));
    auto file = writeToMemory(header, elements);

    auto plain = PLYReader(file).read();
    auto expected = elementsByType(header, readAllSeries(plain.elements));

    auto recycled = PLYReader(file).read();
    std::vector<std::vector<PLYElement>> actual(header.elements.size());
    while (auto series = recycled.elements.next()) {
        auto& byType = actual[series->typeIndex];
        byType.insert(byType.end(), series->elements.begin(), series->elements.end());
        if (!series->elements.empty()) series->elements.front().properties.clear();
        if (series->elements.size() > 1) series->elements.back().properties[0] = std::vector<double>{1, 2};
        recycled.elements.recycle(std::move(series->elements));
    }
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t type = 0; type < actual.size(); ++type) {
        ASSERT_EQ(actual[type].size(), header.elements[type].count);
        EXPECT_EQ(actual[type], expected[type]) << "type " << type;
    }
    recycled.elements.recycle(std::vector<PLYElement>(3));  // after the end: harmless
}

INSTANTIATE_TEST_SUITE_P(AllFormats, Recycling,
                         ::testing::Values(PLYHeader::Format::ascii, PLYHeader::Format::binaryLittleEndian,
                                           PLYHeader::Format::binaryBigEndian));

TEST(PLYReader, ReadsFilesAnewEachTimeAndStopsOnRequest) {
    tessaron::testing::TempDir folder;
    PLYHeader header{PLYHeader::Format::binaryLittleEndian, "1.0", {{"v", 40000, {scalar("x", Type::float32)}}}};
    std::vector<PLYElement> elements(40000, PLYElement({3.0f}));
    plykit::PLYWriter writer(folder / "a.ply");
    writer.write(header);
    writer.write(elements);
    writer.close();

    PLYReader reader(folder / "a.ply");
    for (int pass = 0; pass < 2; ++pass) {
        auto result = reader.read();
        std::size_t count = 0;
        for (const auto& series : result.elements) count += series.elements.size();
        EXPECT_EQ(count, 40000u);
    }

    std::stop_source stop;
    auto result = reader.read(stop.get_token());
    ASSERT_TRUE(result.elements.next());
    stop.request_stop();
    EXPECT_THROW(readAllSeries(result.elements), tessaron::core::CancellationError);

    EXPECT_THROW(PLYReader(folder / "missing.ply").read(), plykit::ReaderSource::Error);
}

}  // namespace

namespace {

// An element type without properties, declared 2^32 - 1 times, before one
// vertex: a binary body holds no bytes for it.
std::string propertylessFile(const char* format) {
    return std::string("ply\nformat ") + format +
           " 1.0\nelement e 4294967295\nelement vertex 1\nproperty float x\nend_header\n";
}

}  // namespace

TEST(PLYReader, APropertylessElementCostsNothingInABinaryBody) {
    for (const char* format : {"binary_little_endian", "binary_big_endian"}) {
        SCOPED_TRACE(format);
        std::string file = propertylessFile(format);
        file += format == std::string("binary_little_endian") ? std::string("\x00\x00\x80\x3f", 4) : std::string("\x3f\x80\x00\x00", 4);
        // A reader that walked them one by one would run for minutes, past
        // the suite's timeout.
        auto result = PLYReader(bytesOf(file)).read();
        auto all = readAllSeries(result.elements);
        ASSERT_EQ(all.size(), 1u);
        EXPECT_EQ(all[0].typeIndex, 1u);
        ASSERT_EQ(all[0].elements.size(), 1u);
        EXPECT_EQ(all[0].elements[0].description(), "1.0");
        // Nothing for the vertex after them is content past the body.
        expectReaderError(ReaderKind::unexpectedContentAtEndOfBody, [&] {
            auto trailing = PLYReader(bytesOf(file + "x")).read();
            readAllSeries(trailing.elements);
        });
    }
    // An ASCII body has a line per element, which a type without properties
    // cannot decode: the first line fails.
    EXPECT_THROW(readAll(propertylessFile("ascii") + "\n1\n"), tessaron::core::Error);
}

TEST(PLYReader, AFifoOrADeviceIsRefusedWithoutWaiting) {
    tessaron::testing::TempDir folder;
    tessaron::testing::makeFifo(folder / "fifo.ply");
    for (const auto& path : {folder / "fifo.ply", std::filesystem::path("/dev/zero")}) {
        SCOPED_TRACE(path.string());
        EXPECT_TRUE(tessaron::testing::returnsWithin(path, [&] {
            try {
                PLYReader(path).read();
                ADD_FAILURE() << "read";
            } catch (const plykit::ReaderSource::Error& error) {
                EXPECT_NE(std::string(error.what()).find("Cannot open " + path.string() + " for reading: is a "),
                          std::string::npos)
                    << error.what();
            }
        }));
    }
}
