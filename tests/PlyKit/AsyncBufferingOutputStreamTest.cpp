#include <gtest/gtest.h>

#include "PlyKit/AsyncBufferingOutputStream.hpp"
#include "support/TempDir.hpp"

using plykit::AsyncBufferingOutputStream;
using plykit::WriterDestination;
using Kind = AsyncBufferingOutputStream::StreamErrorKind;

namespace {

// A platform stream that records each write call's size and can refuse.
class RecordingOutputStream : public plykit::OutputStream {
public:
    void open() override {}
    std::ptrdiff_t write(const std::uint8_t* bytes, std::size_t length) override {
        calls.push_back(length);
        if (nextResult) return *std::exchange(nextResult, std::nullopt);
        data.insert(data.end(), bytes, bytes + length);
        return static_cast<std::ptrdiff_t>(length);
    }
    void close() override {}
    std::string error() const override { return "disk full"; }
    std::optional<std::vector<std::uint8_t>> dataWrittenToMemory() override { return std::nullopt; }

    std::vector<std::size_t> calls;
    std::vector<std::uint8_t> data;
    std::optional<std::ptrdiff_t> nextResult;
};

TEST(AsyncBufferingOutputStream, PassesOnlyWholeBuffersUntilFlush) {
    auto recording = std::make_unique<RecordingOutputStream>();
    auto* platform = recording.get();
    AsyncBufferingOutputStream::StreamWriter writer(std::move(recording), 4);
    writer.write(std::vector<std::uint8_t>{1, 2, 3, 4});
    EXPECT_EQ(platform->calls, std::vector<std::size_t>{4});
    EXPECT_EQ(writer.bufferOffset(), 0u);
    writer.write(std::vector<std::uint8_t>{5});
    writer.write(std::vector<std::uint8_t>{6, 7, 8, 9, 10, 11, 12, 13, 14});
    EXPECT_EQ(platform->calls, (std::vector<std::size_t>{4, 4, 4}));
    EXPECT_EQ(writer.bufferOffset(), 2u);
    writer.flush();
    EXPECT_EQ(platform->calls, (std::vector<std::size_t>{4, 4, 4, 2}));
    writer.flush();
    EXPECT_EQ(platform->calls.size(), 4u);
    EXPECT_EQ(platform->data, (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}));
}

TEST(AsyncBufferingOutputStream, RefusedWritesKeepTheBufferAndTellWhy) {
    struct Case {
        std::ptrdiff_t result;
        Kind kind;
        std::string detail;
    };
    for (const auto& refusal : {Case{-1, Kind::writeFailed, "disk full"}, Case{0, Kind::streamFull, ""},
                                Case{1, Kind::writeFailed, ""}}) {
        auto recording = std::make_unique<RecordingOutputStream>();
        auto* platform = recording.get();
        AsyncBufferingOutputStream::StreamWriter writer(std::move(recording), 8);
        writer.write(std::vector<std::uint8_t>{1, 2, 3});
        platform->nextResult = refusal.result;
        try {
            writer.close();
            FAIL();
        } catch (const AsyncBufferingOutputStream::StreamError& error) {
            EXPECT_EQ(error.kind(), refusal.kind);
            EXPECT_EQ(error.detail(), refusal.detail);
        }
        EXPECT_EQ(writer.bufferOffset(), 3u);
        writer.close();  // still open: the retry flushes
        EXPECT_EQ(platform->data, (std::vector<std::uint8_t>{1, 2, 3}));
    }
}

TEST(AsyncBufferingOutputStream, MemoryDataAppearsOnCloseAndWritesAfterCloseFail) {
    AsyncBufferingOutputStream stream(WriterDestination::memory(), 65536);
    stream.write(std::string_view("hello "));
    stream.write(std::vector<std::uint8_t>{'w', 'o', 'r', 'l', 'd'});
    EXPECT_EQ(stream.writtenData(), std::nullopt);
    stream.close();
    EXPECT_EQ(stream.writtenData(), (std::vector<std::uint8_t>{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'}));
    stream.close();
    try {
        stream.write(std::string_view("x"));
        FAIL();
    } catch (const AsyncBufferingOutputStream::StreamError& error) {
        EXPECT_EQ(error.kind(), Kind::closed);
    }
}

TEST(AsyncBufferingOutputStream, FileDestinationsReplaceTheFileAndKeepNoData) {
    tessaron::testing::TempDir folder;
    tessaron::testing::writeTextFile(folder / "out.ply", "old contents that are longer");
    AsyncBufferingOutputStream stream(WriterDestination::file(folder / "out.ply"), 4);
    stream.write(std::string_view("new"));
    stream.close();
    EXPECT_EQ(tessaron::testing::readTextFile(folder / "out.ply"), "new");
    EXPECT_EQ(stream.writtenData(), std::nullopt);

    try {
        AsyncBufferingOutputStream unwritable(WriterDestination::file(folder / "no" / "such" / "folder.ply"), 4);
        FAIL();
    } catch (const WriterDestination::Error& error) {
        EXPECT_EQ(error.url(), folder / "no" / "such" / "folder.ply");
    }
}

}  // namespace
