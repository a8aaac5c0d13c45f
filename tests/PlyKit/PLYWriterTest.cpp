#include <gtest/gtest.h>

#include <functional>

#include "PlyKit/PLYWriter.hpp"
#include "PlyTestSupport.hpp"
#include "support/TempDir.hpp"

using plykit::PLYElement;
using plykit::PLYHeader;
using plykit::PLYWriter;
using plykit::WriterDestination;
using WriterKind = PLYWriter::ErrorKind;
using Type = PLYHeader::PrimitivePropertyType;
using namespace plykit::testing;

namespace {

const std::string kHeaderText = "ply\nformat %s 1.0\nelement vertex 2\nproperty float x\nend_header\n";

PLYHeader twoFloats(PLYHeader::Format format) {
    return {format, "1.0", {{"vertex", 2, {scalar("x", Type::float32)}}}};
}

std::string headerText(PLYHeader::Format format) {
    std::string text = kHeaderText;
    return text.replace(text.find("%s"), 2, plykit::toString(format));
}

void expectWriterError(WriterKind kind, const std::function<void()>& action) {
    try {
        action();
        ADD_FAILURE() << "no error";
    } catch (const PLYWriter::Error& error) {
        EXPECT_EQ(error.kind(), kind) << error.what();
    }
}

TEST(PLYWriter, WritesTheHeaderThenTheBodyInEachFormat) {
    const std::vector<PLYElement> elements = {PLYElement({1.0f}), PLYElement({2.0f})};
    EXPECT_EQ(textOf(writeToMemory(twoFloats(PLYHeader::Format::binaryLittleEndian), elements)),
              headerText(PLYHeader::Format::binaryLittleEndian) + std::string("\x00\x00\x80\x3F\x00\x00\x00\x40", 8));
    EXPECT_EQ(textOf(writeToMemory(twoFloats(PLYHeader::Format::binaryBigEndian), elements)),
              headerText(PLYHeader::Format::binaryBigEndian) + std::string("\x3F\x80\x00\x00\x40\x00\x00\x00", 8));
    EXPECT_EQ(textOf(writeToMemory(twoFloats(PLYHeader::Format::ascii), elements)),
              headerText(PLYHeader::Format::ascii) + "1.0\n2.0\n");
}

TEST(PLYWriter, EnforcesTheHeadersOrderAndCounts) {
    PLYWriter writer(WriterDestination::memory());
    expectWriterError(WriterKind::headerNotYetWritten, [&] { writer.write(PLYElement({1.0f})); });
    expectWriterError(WriterKind::headerNotYetWritten, [&] { writer.write({}, 0); });
    writer.write(twoFloats(PLYHeader::Format::binaryLittleEndian));
    expectWriterError(WriterKind::headerAlreadyWritten, [&] { writer.write(twoFloats(PLYHeader::Format::ascii)); });
    std::vector<PLYElement> three(3, PLYElement({7.0f}));
    writer.write(three, 0);
    expectWriterError(WriterKind::countExceedsElements, [&] { writer.write(three, 4); });
    expectWriterError(WriterKind::unexpectedElement, [&] { writer.write(three); });
    writer.close();  // the two declared elements were written before the surplus one
    EXPECT_EQ(writer.writtenData()->size(), headerText(PLYHeader::Format::binaryLittleEndian).size() + 8);
    expectWriterError(WriterKind::cannotWriteAfterClose, [&] { writer.write(three, 0); });
    expectWriterError(WriterKind::cannotWriteAfterClose, [&] { writer.write(twoFloats(PLYHeader::Format::ascii)); });
    writer.close();
}

TEST(PLYWriter, ClosingWithElementsMissingClosesTheFileAndThrows) {
    tessaron::testing::TempDir folder;
    {
        PLYWriter writer(folder / "short.ply");
        writer.write(twoFloats(PLYHeader::Format::ascii));
        writer.write(PLYElement({1.0f}));
        try {
            writer.close();
            FAIL();
        } catch (const PLYWriter::Error& error) {
            EXPECT_EQ(error.kind(), WriterKind::elementsMissing);
            EXPECT_EQ(std::string(error.what()), "PLYWriter stream closed before all elements have been written");
        }
        writer.close();
    }
    EXPECT_EQ(tessaron::testing::readTextFile(folder / "short.ply"), headerText(PLYHeader::Format::ascii) + "1.0\n");

    // Declared types with no instances need no element, first or last.
    PLYHeader empties{PLYHeader::Format::ascii, "1.0", {{"a", 0, {}}, {"b", 1, {scalar("x", Type::int8)}}, {"c", 0, {}}}};
    PLYWriter writer(WriterDestination::memory());
    writer.write(empties);
    writer.write(PLYElement({std::int8_t(-1)}));
    writer.close();
    EXPECT_EQ(textOf(*writer.writtenData()),
              "ply\nformat ascii 1.0\nelement a 0\nelement b 1\nproperty char x\nelement c 0\nend_header\n-1\n");

    PLYWriter onlyEmpty(WriterDestination::memory());
    onlyEmpty.write(PLYHeader{PLYHeader::Format::binaryLittleEndian, "1.0", {{"a", 0, {}}}});
    EXPECT_NO_THROW(onlyEmpty.close());
    PLYWriter noHeader(WriterDestination::memory());
    EXPECT_NO_THROW(noHeader.close());
    EXPECT_EQ(noHeader.writtenData(), std::vector<std::uint8_t>{});
}

TEST(PLYWriter, ElementsWiderThanTheBufferAreWrittenWhole) {
    PLYHeader header{PLYHeader::Format::binaryBigEndian, "1.0",
                     {{"face", 3, {list("i", Type::uint32, Type::float64)}}}};
    std::vector<double> longList(20000);
    for (std::size_t i = 0; i < longList.size(); ++i) longList[i] = double(i) / 3;
    std::vector<PLYElement> elements = {PLYElement({std::vector<double>{1.0}}), PLYElement({longList}),
                                        PLYElement({std::vector<double>{}})};
    auto file = writeToMemory(header, elements);
    EXPECT_EQ(file.size(), header.description().size() + 11 + 12 + 160004 + 4);
    auto result = plykit::PLYReader(file).read();
    auto all = elementsByType(result.header, readAllSeries(result.elements));
    EXPECT_EQ(all[0], elements);
}

TEST(PLYWriter, AMismatchedBinaryElementIsNotWritten) {
    PLYWriter writer(WriterDestination::memory());
    writer.write(twoFloats(PLYHeader::Format::binaryLittleEndian));
    std::vector<PLYElement> mixed = {PLYElement({1.0f}), PLYElement({1.0})};
    EXPECT_THROW(writer.write(mixed), PLYElement::BinaryEncodeError);
    writer.write(std::vector<PLYElement>{PLYElement({5.0f}), PLYElement({6.0f})});
    writer.close();
    auto result = plykit::PLYReader(*writer.writtenData()).read();
    auto all = elementsByType(result.header, readAllSeries(result.elements));
    EXPECT_EQ(all[0], (std::vector<PLYElement>{PLYElement({5.0f}), PLYElement({6.0f})}));
}

}  // namespace

TEST(PLYWriter, APropertylessElementIsNotExpandedIntoEndlessLines) {
    PLYHeader huge{PLYHeader::Format::ascii, "1.0", {{"e", 4294967295u, {}}, {"vertex", 1, {scalar("x", Type::float32)}}}};
    PLYWriter ascii(WriterDestination::memory());
    expectWriterError(WriterKind::propertylessElementTooLong, [&] { ascii.write(huge); });

    // In binary it takes no bytes and needs no element: the vertex follows.
    huge.format = PLYHeader::Format::binaryLittleEndian;
    PLYWriter binary(WriterDestination::memory());
    binary.write(huge);
    binary.write(PLYElement({1.0f}));
    binary.close();
    std::string text = textOf(*binary.writtenData());
    EXPECT_EQ(text.substr(text.size() - 4), std::string("\x00\x00\x80\x3f", 4));
}

TEST(PLYWriter, AFileIsReplacedWholeOnlyWhenTheWriterCloses) {
    tessaron::testing::TempDir folder;
    const auto target = folder / "model.ply";
    tessaron::testing::writeTextFile(target, "original");
    {
        PLYWriter writer(target);
        writer.write(twoFloats(PLYHeader::Format::ascii));
        writer.write(PLYElement({1.0f}));
        EXPECT_EQ(tessaron::testing::readTextFile(target), "original");
    }  // dropped half way, as when a conversion throws
    EXPECT_EQ(tessaron::testing::readTextFile(target), "original");
    int entries = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator(folder.path())) ++entries;
    EXPECT_EQ(entries, 1);

    PLYWriter writer(target);
    writer.write(twoFloats(PLYHeader::Format::ascii));
    writer.write(std::vector<PLYElement>{PLYElement({1.0f}), PLYElement({2.0f})});
    writer.close();
    EXPECT_EQ(tessaron::testing::readTextFile(target), headerText(PLYHeader::Format::ascii) + "1.0\n2.0\n");
}
