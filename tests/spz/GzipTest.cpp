#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include <zlib.h>

#include "spz/Gzip.hpp"
#include "spz/GzipInflater.hpp"
#include "SPZErrorCapture.hpp"
#include "spz/SPZError.hpp"
#include "support/TempDir.hpp"

using spz::Bytes;
using spz::SPZError;
using spz::testing::errorOf;
using spz::testing::kindOf;

namespace {

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes rawDeflate(const Bytes& input, int flush = Z_FINISH) {
    z_stream zlib{};
    deflateInit2(&zlib, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    Bytes output(deflateBound(&zlib, uLong(input.size())) + 64);
    zlib.next_in = const_cast<Bytef*>(input.data());
    zlib.avail_in = uInt(input.size());
    zlib.next_out = output.data();
    zlib.avail_out = uInt(output.size());
    deflate(&zlib, flush);
    output.resize(zlib.total_out);
    deflateEnd(&zlib);
    return output;
}

void appendUInt32(Bytes& bytes, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(std::uint8_t(value >> shift));
}

// A gzip member with the given flag byte and header fields before the data.
Bytes gzipMember(const Bytes& content, std::uint8_t flags, const Bytes& fields) {
    Bytes file = {0x1F, 0x8B, 0x08, flags, 0, 0, 0, 0, 0, 0xFF};
    Bytes deflated = rawDeflate(content);
    std::copy(fields.begin(), fields.end(), std::back_inserter(file));
    std::copy(deflated.begin(), deflated.end(), std::back_inserter(file));
    appendUInt32(file, spz::crc32(content));
    appendUInt32(file, std::uint32_t(content.size()));
    return file;
}


Bytes sampleStream(std::size_t size) {
    Bytes stream(size);
    std::mt19937 generator(7);
    // Compressible but not trivial: small values with runs.
    for (std::size_t i = 0; i < size; ++i) stream[i] = std::uint8_t((generator() % 8) + (i / 1000) % 3);
    return stream;
}

}  // namespace

TEST(Gzip, Crc32MatchesTheStandardCheckValue) {
    EXPECT_EQ(spz::crc32(bytesOf("123456789")), 0xCBF43926u);
    EXPECT_EQ(spz::crc32({}), 0u);
    // Inputs checked in pieces side by side, one piece short at the end,
    // give zlib's checksum of the whole.
    Bytes large(std::size_t(37) << 20);
    std::mt19937 generator(11);
    for (auto& byte : large) byte = std::uint8_t(generator());
    for (std::size_t size : {large.size(), (std::size_t(16) << 20) + 3, (std::size_t(16) << 20) - 1}) {
        uLong expected = ::crc32(0L, large.data(), uInt(size));
        EXPECT_EQ(spz::crc32(std::span(large).first(size)), std::uint32_t(expected)) << size;
    }
}

TEST(Gzip, CompressedFileHasTheFixedHeaderAndATrailerOfCrcAndLength) {
    Bytes stream = sampleStream(10'000'000);  // several parallel pieces
    Bytes file = spz::compressGzipped(stream);
    Bytes expectedHeader = {0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF};
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 10), expectedHeader);
    Bytes trailer(file.end() - 8, file.end());
    Bytes expectedTrailer;
    appendUInt32(expectedTrailer, spz::crc32(stream));
    appendUInt32(expectedTrailer, std::uint32_t(stream.size()));
    EXPECT_EQ(trailer, expectedTrailer);
    EXPECT_EQ(spz::decompressGzipped(file), stream);

    // zlib's own gzip decoder agrees, from the first byte to the trailer.
    Bytes inflated(stream.size() + 1);
    z_stream zlib{};
    inflateInit2(&zlib, 16 + MAX_WBITS);
    zlib.next_in = file.data();
    zlib.avail_in = uInt(file.size());
    zlib.next_out = inflated.data();
    zlib.avail_out = uInt(inflated.size());
    EXPECT_EQ(inflate(&zlib, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(zlib.total_out, stream.size());
    EXPECT_EQ(zlib.avail_in, 0u);
    inflateEnd(&zlib);
}

TEST(Gzip, PythonsGzipDecoderAcceptsOurFiles) {
    tessaron::testing::TempDir folder;
    Bytes stream = sampleStream(5'000'000);
    Bytes file = spz::compressGzipped(stream);
    std::string path = (folder / "stream.gz").string();
    tessaron::testing::writeTextFile(path, std::string(file.begin(), file.end()));
    if (std::system("python3 -c 'import zlib' 2>/dev/null") != 0) GTEST_SKIP() << "python3 is not installed";
    std::string command = "python3 -c \"import zlib,sys; d=zlib.decompress(open(sys.argv[1],'rb').read(), 31); "
                          "sys.exit(0 if len(d)==" + std::to_string(stream.size()) + " else 3)\" " + path;
    EXPECT_EQ(std::system(command.c_str()), 0);
}

TEST(Gzip, EmptyInputIsRefusedBothWays) {
    EXPECT_EQ(kindOf([] { spz::compressGzipped({}); }), SPZError::Kind::compressionFailed);
    EXPECT_EQ(kindOf([] { spz::decompressGzipped({}); }), SPZError::Kind::decompressionFailed);
}

TEST(Gzip, InputWithoutTheGzipMagicIsRawDeflate) {
    Bytes content = bytesOf("raw deflate is read as it stands");
    EXPECT_EQ(spz::decompressGzipped(rawDeflate(content)), content);
}

TEST(Gzip, EveryOptionalHeaderFieldIsSkipped) {
    Bytes content = bytesOf("optional fields before the data");
    // FHCRC 2, FEXTRA 4, FNAME 8, FCOMMENT 16: extra, name, comment, header CRC.
    Bytes fields = {3, 0, 'a', 'b', 'c', 'n', 'a', 'm', 'e', 0, 'h', 'i', 0, 0x12, 0x34};
    EXPECT_EQ(spz::decompressGzipped(gzipMember(content, 2 | 4 | 8 | 16, fields)), content);
}

struct BrokenCase {
    const char* name;
    std::function<Bytes()> file;
};

void PrintTo(const BrokenCase& brokenCase, std::ostream* stream) { *stream << brokenCase.name; }

class BrokenGzip : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenGzip, IsADecompressionFailureNeverACrash) {
    Bytes file = GetParam().file();
    EXPECT_EQ(kindOf([&] { spz::decompressGzipped(file); }), SPZError::Kind::decompressionFailed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BrokenGzip,
    ::testing::Values(
        BrokenCase{"HeaderOnly", std::function<Bytes()>([] { return Bytes{0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0}; })},
        BrokenCase{"NameNeverEnds", std::function<Bytes()>([] {
                           Bytes file = {0x1F, 0x8B, 8, 8, 0, 0, 0, 0, 0, 0xFF};
                           file.resize(40, 'n');
                           return file;
                       })},
        BrokenCase{"HeaderReachesTheTrailer", std::function<Bytes()>([] {
                           Bytes file = {0x1F, 0x8B, 8, 16, 0, 0, 0, 0, 0, 0xFF};
                           file.resize(30, 'c');
                           file.push_back(0);  // the comment ends 4 bytes before the end
                           file.resize(file.size() + 4, 1);
                           return file;
                       })},
        BrokenCase{"ExtraLengthBeyondFile", std::function<Bytes()>([] {
                           return gzipMember(bytesOf("data"), 4, Bytes{0xFF, 0xFF, 1, 2});
                       })},
        BrokenCase{"CorruptCrc", std::function<Bytes()>([] {
                           Bytes file = gzipMember(bytesOf("checked content"), 0, {});
                           file[file.size() - 8] ^= 1;
                           return file;
                       })},
        BrokenCase{"CorruptLength", std::function<Bytes()>([] {
                           Bytes file = gzipMember(bytesOf("checked content"), 0, {});
                           file[file.size() - 1] ^= 1;
                           return file;
                       })},
        BrokenCase{"TruncatedData", std::function<Bytes()>([] {
                           Bytes file = gzipMember(sampleStream(100'000), 0, {});
                           file.resize(file.size() / 2);
                           return file;
                       })},
        BrokenCase{"TrailerCutShort", std::function<Bytes()>([] {
                           Bytes file = gzipMember(sampleStream(1000), 0, {});
                           Bytes deflated = rawDeflate(sampleStream(1000));
                           file.resize(10 + deflated.size() + 5);
                           return file;
                       })},
        BrokenCase{"RawDeflateCutShort", std::function<Bytes()>([] {
                           Bytes deflated = rawDeflate(sampleStream(100'000));
                           deflated.resize(deflated.size() - 10);
                           return deflated;
                       })},
        BrokenCase{"RawGarbage", std::function<Bytes()>([] {
                           Bytes garbage(4096);
                           std::mt19937 generator(3);
                           for (auto& byte : garbage) byte = std::uint8_t(generator());
                           garbage[0] = 0xFF;  // an invalid block type either way
                           return garbage;
                       })},
        BrokenCase{"NotDeflateMethod", std::function<Bytes()>([] {
                           Bytes file = gzipMember(bytesOf("data"), 0, {});
                           file[2] = 7;
                           return file;
                       })},
        BrokenCase{"EmptyContent", std::function<Bytes()>([] { return gzipMember({}, 0, {}); })}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Gzip, OutputBeyondTheLimitStopsInflating) {
    // A small file that would inflate to 64 MiB of zeros.
    Bytes file = spz::compressGzipped(Bytes(std::size_t(64) << 20, 0));
    EXPECT_LT(file.size(), std::size_t(1) << 20);
    EXPECT_EQ(kindOf([&] { spz::decompressGzipped(file, std::size_t(1) << 20); }), SPZError::Kind::decompressionFailed);
}

TEST(Gzip, InflaterHandsOutThePiecesTheCallerAsksFor) {
    Bytes stream = sampleStream(300'000);
    Bytes file = spz::compressGzipped(stream);
    spz::GzipInflater inflater(file, stream.size());
    Bytes collected;
    Bytes piece(7777);
    for (;;) {
        std::size_t count = inflater.read(piece);
        collected.insert(collected.end(), piece.begin(), piece.begin() + std::ptrdiff_t(count));
        if (count < piece.size()) break;
    }
    EXPECT_EQ(collected, stream);
    EXPECT_EQ(inflater.read(piece), 0u);
}
