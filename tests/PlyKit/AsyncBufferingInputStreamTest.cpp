#include <gtest/gtest.h>

#include <numeric>

#include "PlyKit/AsyncBufferingInputStream.hpp"
#include "support/TempDir.hpp"

using plykit::AsyncBufferingInputStream;
using plykit::ReaderSource;
using Chunk = AsyncBufferingInputStream::Chunk;

namespace {

// A platform stream that answers each read with the next scripted result.
class ScriptedInputStream : public plykit::InputStream {
public:
    explicit ScriptedInputStream(std::vector<std::ptrdiff_t> results) : results_(std::move(results)) {}
    void open() override { ++opens; }
    std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength) override {
        std::ptrdiff_t result = results_.at(next_++);
        if (result > 0) std::fill(buffer, buffer + std::min<std::size_t>(maxLength, result), 0x5A);
        return result;
    }
    void close() override { ++closes; }
    std::string error() const override { return "device unplugged"; }
    std::optional<std::uint64_t> remainingBytes() const override { return std::nullopt; }
    int opens = 0;
    int closes = 0;

private:
    std::vector<std::ptrdiff_t> results_;
    std::size_t next_ = 0;
};

TEST(AsyncBufferingInputStream, MemoryChunksAddUpAndEndWithNone) {
    std::vector<std::uint8_t> bytes(40000);
    std::iota(bytes.begin(), bytes.end(), 0);
    AsyncBufferingInputStream stream(ReaderSource::memory(bytes), 16384);
    auto iterator = stream.makeIterator();
    std::vector<std::uint8_t> collected;
    while (auto chunk = iterator.next()) {
        EXPECT_LE(chunk->size(), 16384u);
        EXPECT_FALSE(chunk->empty());
        collected.insert(collected.end(), chunk->begin(), chunk->end());
    }
    EXPECT_EQ(collected, bytes);
    EXPECT_EQ(iterator.next(), std::nullopt);

    AsyncBufferingInputStream empty(ReaderSource::memory({}), 16384);
    EXPECT_EQ(empty.makeIterator().next(), std::nullopt);
}

TEST(AsyncBufferingInputStream, PushedBackChunksComeFirstInReverseOrder) {
    AsyncBufferingInputStream stream(ReaderSource::memory({1, 2, 3}), 16384);
    auto iterator = stream.makeIterator();
    iterator.pushback(Chunk{0xA});
    iterator.pushback(Chunk{});
    iterator.pushback(Chunk{0xB});
    EXPECT_EQ(iterator.next(), Chunk{0xB});
    EXPECT_EQ(iterator.next(), Chunk{0xA});
    EXPECT_EQ(iterator.next(), (Chunk{1, 2, 3}));
    EXPECT_EQ(iterator.next(), std::nullopt);
    iterator.pushback(Chunk{0xC});
    EXPECT_EQ(stream.reader()->remainingBytes(), 1u);
    EXPECT_EQ(iterator.next(), Chunk{0xC});
    EXPECT_EQ(iterator.next(), std::nullopt);
}

TEST(AsyncBufferingInputStream, FailedReadsCloseTheStreamAndCarryTheCause) {
    auto failing = std::make_unique<ScriptedInputStream>(std::vector<std::ptrdiff_t>{3, -1});
    auto* failingStream = failing.get();
    AsyncBufferingInputStream stream(std::move(failing), 8);
    auto iterator = stream.makeIterator();
    EXPECT_EQ(iterator.next()->size(), 3u);
    try {
        iterator.next();
        FAIL();
    } catch (const AsyncBufferingInputStream::StreamError& error) {
        EXPECT_EQ(error.kind(), AsyncBufferingInputStream::StreamErrorKind::readFailed);
        EXPECT_EQ(error.detail(), "device unplugged");
    }
    EXPECT_EQ(failingStream->opens, 1);
    EXPECT_EQ(failingStream->closes, 1);
    EXPECT_EQ(iterator.next(), std::nullopt);

    AsyncBufferingInputStream odd(std::make_unique<ScriptedInputStream>(std::vector<std::ptrdiff_t>{-7}), 8);
    try {
        odd.makeIterator().next();
        FAIL();
    } catch (const AsyncBufferingInputStream::StreamError& error) {
        EXPECT_EQ(error.kind(), AsyncBufferingInputStream::StreamErrorKind::unexpectedReadResult);
        EXPECT_EQ(error.detail(), "-7");
    }
}

TEST(AsyncBufferingInputStream, StopRequestThrowsCancellationAndKeepsTheStream) {
    AsyncBufferingInputStream stream(ReaderSource::memory({1, 2}), 16384);
    auto iterator = stream.makeIterator();
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(iterator.next(stop.get_token()), tessaron::core::CancellationError);
    EXPECT_EQ(iterator.next(), (Chunk{1, 2}));
}

TEST(AsyncBufferingInputStream, FileSourcesReadTheFileAndMissingOnesCannotOpen) {
    tessaron::testing::TempDir folder;
    tessaron::testing::writeTextFile(folder / "a.bin", "abc");
    AsyncBufferingInputStream stream(ReaderSource::url(folder / "a.bin"), 2);
    auto iterator = stream.makeIterator();
    EXPECT_EQ(stream.reader()->remainingBytes(), 3u);
    EXPECT_EQ(iterator.next(), (Chunk{'a', 'b'}));
    EXPECT_EQ(iterator.next(), (Chunk{'c'}));
    EXPECT_EQ(iterator.next(), std::nullopt);

    for (auto path : {folder / "missing.ply", folder.path()}) {
        try {
            AsyncBufferingInputStream missing(ReaderSource::url(path), 16);
            FAIL() << path;
        } catch (const ReaderSource::Error& error) {
            EXPECT_EQ(error.kind(), ReaderSource::ErrorKind::cannotOpen);
            EXPECT_EQ(error.url(), path);
        }
    }
}

}  // namespace
