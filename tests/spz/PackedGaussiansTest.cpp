#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstring>
#include <functional>
#include <random>

#include <zlib.h>

#include "spz/Gzip.hpp"
#include "spz/PackedGaussians.hpp"
#include "SPZErrorCapture.hpp"
#include "spz/SPZError.hpp"

using spz::Bytes;
using spz::PackedGaussians;
using spz::SPZError;
using spz::testing::errorOf;
using spz::testing::kindOf;

namespace {

void appendUInt32(Bytes& bytes, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(std::uint8_t(value >> shift));
}

Bytes header(std::uint32_t version, std::uint32_t numPoints, std::uint8_t shDegree, std::uint8_t fractionalBits = 12,
             std::uint8_t flags = 0) {
    Bytes bytes = {'N', 'G', 'S', 'P'};
    appendUInt32(bytes, version);
    appendUInt32(bytes, numPoints);
    bytes.insert(bytes.end(), {shDegree, fractionalBits, flags, 0});
    return bytes;
}

// A stream whose every byte says where it came from: array a, byte i holds a*40+i.
Bytes stream(std::uint32_t version, std::uint32_t numPoints, std::uint8_t shDegree,
             std::initializer_list<std::size_t> bytesPerPoint) {
    Bytes bytes = header(version, numPoints, shDegree);
    std::uint8_t array = 0;
    for (std::size_t width : bytesPerPoint) {
        for (std::size_t i = 0; i < width * numPoints; ++i) bytes.push_back(std::uint8_t(array * 40 + i));
        ++array;
    }
    return bytes;
}


}  // namespace

TEST(PackedGaussians, SixteenBytesWithNoPointsParseToAnEmptySet) {
    PackedGaussians packed = spz::deserializePackedGaussians(header(3, 0, 0));
    EXPECT_EQ(packed.numPoints, 0);
    EXPECT_TRUE(packed.positions.empty());
    EXPECT_TRUE(packed.sh.empty());
    EXPECT_TRUE(packed.checkSizes());
    Bytes fifteen = header(3, 0, 0);
    fifteen.pop_back();
    EXPECT_EQ(errorOf([&] { spz::deserializePackedGaussians(fifteen); }).kind(), SPZError::Kind::invalidHeader);
}

TEST(PackedGaussians, HeaderChecksComeInOrder) {
    Bytes badMagic = header(3, 0, 0);
    badMagic[0] = 'X';
    EXPECT_EQ(errorOf([&] { spz::deserializePackedGaussians(badMagic); }).kind(), SPZError::Kind::invalidHeader);
    // The version is refused before the (too large) count is looked at.
    for (std::uint32_t version : {0u, 4u}) {
        SPZError error = errorOf([&] { spz::deserializePackedGaussians(header(version, 20'000'000, 9)); });
        EXPECT_EQ(error.kind(), SPZError::Kind::unsupportedVersion);
        EXPECT_EQ(error.value(), version);
        EXPECT_NE(std::string(error.what()).find("Unsupported SPZ version " + std::to_string(version)), std::string::npos);
    }
    SPZError tooMany = errorOf([&] { spz::deserializePackedGaussians(header(3, 10'000'001, 9)); });
    EXPECT_EQ(tooMany.kind(), SPZError::Kind::tooManyPoints);
    EXPECT_EQ(tooMany.value(), 10'000'001);
    // Ten million is legal: only the missing arrays are reported.
    EXPECT_EQ(errorOf([&] { spz::deserializePackedGaussians(header(3, 10'000'000, 0)); }).kind(), SPZError::Kind::readError);
    SPZError degree = errorOf([&] { spz::deserializePackedGaussians(header(3, 0, 4)); });
    EXPECT_EQ(degree.kind(), SPZError::Kind::unsupportedSHDegree);
    EXPECT_EQ(degree.value(), 4);
}

TEST(PackedGaussians, FractionalBitsBeyondTwentyFourAreAnInvalidHeader) {
    EXPECT_EQ(spz::deserializePackedGaussians(header(3, 0, 0, 24)).fractionalBits, 24);
    EXPECT_EQ(errorOf([&] { spz::deserializePackedGaussians(header(3, 0, 0, 25)); }).kind(), SPZError::Kind::invalidHeader);
}

struct VersionLayout {
    std::uint32_t version;
    std::size_t positionBytes;
    std::size_t rotationBytes;
};

class PackedLayouts : public ::testing::TestWithParam<VersionLayout> {};

TEST_P(PackedLayouts, ArraysAreCutInFileOrderWithTheVersionsWidths) {
    auto [version, positionBytes, rotationBytes] = GetParam();
    // Degree 1: 9 SH bytes per point.
    Bytes bytes = stream(version, 2, 1, {positionBytes, 1, 3, 3, rotationBytes, 9});
    bytes.push_back(0xEE);  // ignored trailing byte
    PackedGaussians packed = spz::deserializePackedGaussians(bytes);
    EXPECT_EQ(packed.positions.size(), 2 * positionBytes);
    EXPECT_EQ(packed.alphas, (Bytes{40, 41}));
    EXPECT_EQ(packed.colors, (Bytes{80, 81, 82, 83, 84, 85}));
    EXPECT_EQ(packed.scales, (Bytes{120, 121, 122, 123, 124, 125}));
    EXPECT_EQ(packed.rotations.size(), 2 * rotationBytes);
    EXPECT_EQ(packed.rotations[0], 160);
    EXPECT_EQ(packed.sh.size(), 18u);
    EXPECT_EQ(packed.sh[0], 200);
    EXPECT_EQ(packed.usesFloat16(), version == 1);
    EXPECT_EQ(packed.usesQuaternionSmallestThree, version == 3);
    EXPECT_TRUE(packed.checkSizes());

    bytes.pop_back();  // the ignored trailing byte
    bytes.pop_back();  // and one byte of the SH array
    EXPECT_EQ(errorOf([&] { spz::deserializePackedGaussians(bytes); }).kind(), SPZError::Kind::readError);
}

INSTANTIATE_TEST_SUITE_P(Versions, PackedLayouts,
                         ::testing::Values(VersionLayout{1, 6, 3}, VersionLayout{2, 9, 3}, VersionLayout{3, 9, 4}));

TEST(PackedGaussians, SerialisedAndCompressedSetLoadsBackUnchanged) {
    Bytes original = stream(3, 3, 3, {9, 1, 3, 3, 4, 45});
    original[14] = 1;  // antialiased
    original[15] = 0x5A;  // reserved, ignored on read
    PackedGaussians packed = spz::deserializePackedGaussians(original);
    EXPECT_TRUE(packed.antialiased);
    Bytes serialised = spz::serializePackedGaussians(packed);
    original[15] = 0;  // written as 0
    EXPECT_EQ(serialised, original);

    PackedGaussians loaded = spz::loadSpzPacked(spz::compressGzipped(serialised));
    EXPECT_EQ(loaded.numPoints, 3);
    EXPECT_EQ(loaded.shDegree, 3);
    EXPECT_EQ(loaded.fractionalBits, 12);
    EXPECT_TRUE(loaded.antialiased);
    EXPECT_EQ(loaded.positions, packed.positions);
    EXPECT_EQ(loaded.rotations, packed.rotations);
    EXPECT_EQ(loaded.sh, packed.sh);
}

TEST(PackedGaussians, LoadingStopsAtTheFirstBadHeaderAndAtAShortStream) {
    EXPECT_EQ(errorOf([] { spz::loadSpzPacked(spz::compressGzipped(header(4, 1, 0))); }).kind(),
              SPZError::Kind::unsupportedVersion);
    Bytes shortStream = stream(3, 4, 0, {9, 1, 3, 3, 4});
    shortStream.pop_back();
    EXPECT_EQ(errorOf([&] { spz::loadSpzPacked(spz::compressGzipped(shortStream)); }).kind(), SPZError::Kind::readError);
    EXPECT_EQ(errorOf([] { spz::loadSpzPacked(spz::compressGzipped(Bytes{'N', 'G'})); }).kind(),
              SPZError::Kind::invalidHeader);
}

TEST(PackedGaussians, AtExtractsOnePointWithUnusedCoefficientsAtTheZeroByte) {
    PackedGaussians packed = spz::deserializePackedGaussians(stream(3, 2, 1, {9, 1, 3, 3, 4, 9}));
    spz::PackedGaussian point = packed.at(1);
    EXPECT_EQ(point.position[0], 9);
    EXPECT_EQ(point.alpha, 41);
    EXPECT_EQ(point.color[0], 83);
    EXPECT_EQ(point.scale[2], 125);
    EXPECT_EQ(point.rotation[3], 167);
    EXPECT_EQ(point.shR[0], 209);
    EXPECT_EQ(point.shG[0], 210);
    EXPECT_EQ(point.shB[2], 217);
    EXPECT_EQ(point.shR[3], 128);
    EXPECT_EQ(point.shB[14], 128);
}

TEST(PackedGaussians, MissingFileIsACoreErrorNamingThePath) {
    try {
        spz::loadSpzPacked(std::filesystem::path("/nonexistent/scene.spz"));
        FAIL();
    } catch (const SPZError&) {
        FAIL() << "file errors pass through unchanged";
    } catch (const tessaron::core::Error& error) {
        EXPECT_NE(std::string(error.what()).find("/nonexistent/scene.spz"), std::string::npos);
    }
}

TEST(PackedGaussians, VersionFourFilesWithTheirPlainHeaderNameTheirVersion) {
    // Version 4 puts the header before its compressed data, not inside gzip.
    Bytes file = header(4, 2, 3);
    file.resize(64, 0x11);
    SPZError error = errorOf([&] { spz::loadSpzPacked(file); });
    EXPECT_EQ(error.kind(), SPZError::Kind::unsupportedVersion);
    EXPECT_STREQ(error.what(), "Unsupported SPZ version 4 (versions 1 to 3 can be read)");
}

namespace {

long peakResidentKilobytes() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

Bytes randomBytes(std::size_t size) {
    Bytes bytes(size);
    std::mt19937_64 generator(5);
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
        std::uint64_t value = generator();
        std::memcpy(bytes.data() + i, &value, 8);
    }
    return bytes;
}

}  // namespace

TEST(PackedGaussians, HundredMegabytesOfGarbageStayFarBelowAGigabyte) {
    constexpr std::size_t hundredMegabytes = std::size_t(100) << 20;
    Bytes garbage = randomBytes(hundredMegabytes);
    const Bytes gzipHeader = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 0xFF};
    std::copy(gzipHeader.begin(), gzipHeader.end(), garbage.begin());
    EXPECT_EQ(errorOf([&] { spz::loadSpzPacked(garbage); }).kind(), SPZError::Kind::decompressionFailed);

    // Valid gzip around a legal header that asks for ten million degree-3
    // points, followed by 100 MB that were never compressed (stored blocks).
    Bytes stream = header(3, 10'000'000, 3);
    Bytes noise = randomBytes(hundredMegabytes);
    stream.insert(stream.end(), noise.begin(), noise.end());
    noise = {};
    z_stream zlib{};
    deflateInit2(&zlib, 0, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    Bytes file = gzipHeader;
    std::size_t offset = file.size();
    file.resize(offset + deflateBound(&zlib, uLong(stream.size())));
    zlib.next_in = stream.data();
    zlib.avail_in = uInt(stream.size());
    zlib.next_out = file.data() + offset;
    zlib.avail_out = uInt(file.size() - offset);
    ASSERT_EQ(deflate(&zlib, Z_FINISH), Z_STREAM_END);
    file.resize(offset + zlib.total_out);
    deflateEnd(&zlib);
    std::uint32_t crc = spz::crc32(stream), length = std::uint32_t(stream.size());
    for (std::uint32_t value : {crc, length})
        for (int shift = 0; shift < 32; shift += 8) file.push_back(std::uint8_t(value >> shift));
    stream = {};
    EXPECT_EQ(errorOf([&] { spz::loadSpzPacked(file); }).kind(), SPZError::Kind::readError);

    // ctest runs every test in a process of its own: this is its peak.
    EXPECT_LT(peakResidentKilobytes(), 1024 * 1024);
}
