#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "PlyKit/ByteCodec.hpp"

using plykit::ByteCodec;

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(ByteCodec, ReadsInEitherOrderAndZeroFillsShortBuffers) {
    const Bytes bytes = {0x01, 0x02, 0x03, 0x04};
    EXPECT_EQ(ByteCodec<std::uint32_t>::read(bytes, true), 0x01020304u);
    EXPECT_EQ(ByteCodec<std::uint32_t>::read(bytes, false), 0x04030201u);

    const Bytes shortBuffer = {0xAA, 0x01, 0x02};
    EXPECT_EQ(ByteCodec<std::uint32_t>::read(shortBuffer, 1, false), 513u);
    EXPECT_EQ(ByteCodec<std::uint32_t>::read(shortBuffer, 1, true), 0x01020000u);
    EXPECT_EQ(ByteCodec<std::uint32_t>::read(shortBuffer, 3, true), 0u);
    EXPECT_TRUE(ByteCodec<std::int16_t>::readArray(bytes, 2, 0, true).empty());
    EXPECT_EQ(ByteCodec<std::uint16_t>::readArray(bytes, 1, 2, true), (std::vector<std::uint16_t>{0x0203, 0x0400}));
}

TEST(ByteCodec, FloatsKeepTheirBitPatternsInBothOrders) {
    const std::array<std::uint32_t, 5> patterns = {0x7FC00001u, 0xFFA12345u, 0x80000000u, 0x00000001u, 0x7F800000u};
    for (bool bigEndian : {false, true}) {
        for (std::uint32_t pattern : patterns) {
            float value = plykit::fromBitPattern<float>(pattern);
            std::array<std::uint8_t, 4> memory{};
            EXPECT_EQ(ByteCodec<float>::store(value, memory.data(), bigEndian), 4u);
            EXPECT_EQ(plykit::bitPattern(ByteCodec<float>::load(memory.data(), bigEndian)), pattern);
            Bytes buffer;
            ByteCodec<float>::append(value, buffer, bigEndian);
            EXPECT_EQ(plykit::bitPattern(ByteCodec<float>::read(buffer, bigEndian)), pattern);
        }
        double nan = plykit::fromBitPattern<double>(0xFFF0000000000123ull);
        std::array<std::uint8_t, 9> memory{};
        EXPECT_EQ(ByteCodec<double>::store(nan, memory.data(), 1, bigEndian), 8u);
        EXPECT_EQ(plykit::bitPattern(ByteCodec<double>::load(memory.data(), 1, bigEndian)), 0xFFF0000000000123ull);
    }
    std::array<std::uint8_t, 4> one{};
    ByteCodec<float>::store(1.0f, one.data(), true);
    EXPECT_EQ(one, (std::array<std::uint8_t, 4>{0x3F, 0x80, 0x00, 0x00}));
    ByteCodec<float>::store(1.0f, one.data(), false);
    EXPECT_EQ(one, (std::array<std::uint8_t, 4>{0x00, 0x00, 0x80, 0x3F}));
}

TEST(ByteCodec, ArrayStoresFillExactlyTheirBytesAtUnalignedOffsets) {
    const std::vector<std::int16_t> values = {1, -2, 0x0304};
    for (bool bigEndian : {false, true}) {
        Bytes memory(10, 0xEE);
        EXPECT_EQ(ByteCodec<std::int16_t>::storeArray(values, memory.data(), 3, bigEndian), 6u);
        EXPECT_EQ(memory[2], 0xEE);
        EXPECT_EQ(memory[9], 0xEE);
        EXPECT_EQ(ByteCodec<std::int16_t>::loadArray(memory.data(), 3, 3, bigEndian), values);
        Bytes appended;
        ByteCodec<std::int16_t>::appendArray(values, appended, bigEndian);
        EXPECT_EQ(appended, Bytes(memory.begin() + 3, memory.begin() + 9));
        EXPECT_EQ(ByteCodec<std::int16_t>::readArray(appended, 3, bigEndian), values);
    }
    Bytes big(6);
    ByteCodec<std::int16_t>::storeArray(values, big.data(), true);
    EXPECT_EQ(big, (Bytes{0x00, 0x01, 0xFF, 0xFE, 0x03, 0x04}));
}

TEST(ByteCodec, OneByteTypesIgnoreTheOrderAndWideTypesSwap) {
    const std::vector<std::int8_t> signedBytes = {-128, 0, 127};
    Bytes little, big;
    ByteCodec<std::int8_t>::appendArray(signedBytes, little, false);
    ByteCodec<std::int8_t>::appendArray(signedBytes, big, true);
    EXPECT_EQ(little, big);
    EXPECT_EQ(ByteCodec<std::uint8_t>::read(Bytes{0xFE}, true), 0xFE);

    std::array<std::uint8_t, 8> memory{};
    EXPECT_EQ(ByteCodec<std::int64_t>::store(std::numeric_limits<std::int64_t>::min(), memory.data(), 0, true), 8u);
    EXPECT_EQ(memory[0], 0x80);
    EXPECT_EQ(ByteCodec<std::int64_t>::load(memory.data(), true), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(ByteCodec<std::uint64_t>::load(memory.data(), false), 0x80u);
}

}  // namespace
