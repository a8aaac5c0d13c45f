// A file is inflated at once when it is sound; every fault still has to come
// out as the streaming inflater names it.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include <zlib.h>

#include "spz/Gzip.hpp"
#include "spz/PackedGaussians.hpp"
#include "spz/SPZError.hpp"

using spz::Bytes;
using spz::PackedGaussians;

namespace {

void appendUInt32(Bytes& bytes, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(std::uint8_t(value >> shift));
}

void putUInt32(Bytes& bytes, std::size_t offset, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) bytes[offset + std::size_t(shift / 8)] = std::uint8_t(value >> shift);
}

// A version-3, degree-3 stream of `points` points with varied bytes.
Bytes sampleStream(std::uint32_t points) {
    Bytes stream = {'N', 'G', 'S', 'P'};
    appendUInt32(stream, 3);
    appendUInt32(stream, points);
    stream.insert(stream.end(), {3, 12, 1, 0});
    std::mt19937 random(5);
    std::size_t arrays = std::size_t(points) * (9 + 1 + 3 + 3 + 4 + 45);
    for (std::size_t i = 0; i < arrays; ++i) stream.push_back(std::uint8_t(random() % 24 + (i / 64) % 7));
    return stream;
}

Bytes zlibGzip(const Bytes& stream) {
    Bytes file;
    uLongf size = compressBound(uLong(stream.size())) + 32;
    Bytes deflated(size);
    z_stream zlib{};
    deflateInit2(&zlib, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    zlib.next_in = const_cast<Bytef*>(stream.data());
    zlib.avail_in = uInt(stream.size());
    zlib.next_out = deflated.data();
    zlib.avail_out = uInt(deflated.size());
    deflate(&zlib, Z_FINISH);
    deflated.resize(zlib.total_out);
    deflateEnd(&zlib);
    file = {0x1F, 0x8B, 0x08, 0x08, 0, 0, 0, 0, 0, 3, 's', '.', 's', 'p', 'z', 0};  // with a name
    file.insert(file.end(), deflated.begin(), deflated.end());
    appendUInt32(file, spz::crc32(stream));
    appendUInt32(file, std::uint32_t(stream.size()));
    return file;
}

// What loading gives: the arrays as one stream, or the error's text.
std::string outcomeOf(const Bytes& file) {
    try {
        return "loaded " + std::to_string(spz::serializePackedGaussians(spz::loadSpzPacked(file)).size());
    } catch (const spz::SPZError& error) {
        return error.what();
    }
}

// The streaming inflater's verdict on the same bytes.
std::string streamingOutcomeOf(const Bytes& file) {
    try {
        return "loaded " + std::to_string(spz::serializePackedGaussians(spz::deserializePackedGaussians(
                                                                            spz::decompressGzipped(file)))
                                              .size());
    } catch (const spz::SPZError& error) {
        return error.what();
    }
}

std::string failed(const std::string& detail) { return "SPZ decompression failed: " + detail; }

}  // namespace

TEST(WholeFileInflation, SoundFilesLoadTheStreamExactly) {
    Bytes stream = sampleStream(3000);
    for (const Bytes& file : {spz::compressGzipped(stream), zlibGzip(stream)}) {
        PackedGaussians packed = spz::loadSpzPacked(file);
        EXPECT_EQ(spz::serializePackedGaussians(packed), stream);
        EXPECT_TRUE(packed.antialiased);
    }
    // Bytes past the arrays are inflated and ignored; the trailer counts them.
    Bytes longer = stream;
    longer.insert(longer.end(), 5000, 9);
    EXPECT_EQ(spz::serializePackedGaussians(spz::loadSpzPacked(spz::compressGzipped(longer))), stream);
}

TEST(WholeFileInflation, FaultsKeepTheirTexts) {
    Bytes stream = sampleStream(3000);
    Bytes file = spz::compressGzipped(stream);
    auto expect = [&](const Bytes& damaged, const std::string& text) {
        EXPECT_EQ(outcomeOf(damaged), text);
        EXPECT_EQ(streamingOutcomeOf(damaged), text);
    };

    Bytes cutInData(file.begin(), file.begin() + std::ptrdiff_t(file.size() / 2));
    expect(cutInData, failed("the compressed data is truncated"));
    Bytes cutInTrailer(file.begin(), file.end() - 3);
    expect(cutInTrailer, failed("the gzip trailer is cut short"));

    Bytes badCRC = file;
    badCRC[file.size() - 8] ^= 0x40;
    expect(badCRC, failed("the CRC-32 in the gzip trailer does not match the data"));
    Bytes badLength = file;
    putUInt32(badLength, file.size() - 4, std::uint32_t(stream.size() + 1));
    expect(badLength, failed("the length in the gzip trailer does not match the data"));
    Bytes hugeLength = file;
    putUInt32(hugeLength, file.size() - 4, 0xFFFFFFF0u);
    expect(hugeLength, failed("the length in the gzip trailer does not match the data"));

    // A stream shorter than its header asks for.
    Bytes shortStream(stream.begin(), stream.end() - 1);
    EXPECT_EQ(outcomeOf(spz::compressGzipped(shortStream)),
              "SPZ stream is too short: the header asks for " + std::to_string(stream.size()) +
                  " bytes, the stream has " + std::to_string(stream.size() - 1));
}

TEST(WholeFileInflation, DamagedDataGivesTheStreamingInflatersVerdict) {
    Bytes file = spz::compressGzipped(sampleStream(2000));
    std::mt19937 random(11);
    for (int round = 0; round < 60; ++round) {
        Bytes damaged = file;
        std::size_t at = 10 + random() % (file.size() - 18);
        damaged[at] ^= std::uint8_t(1 + random() % 255);
        std::string outcome = outcomeOf(damaged);
        EXPECT_EQ(outcome, streamingOutcomeOf(damaged)) << "byte " << at;
        EXPECT_NE(outcome.rfind("loaded", 0), 0u) << "byte " << at;
    }
}
