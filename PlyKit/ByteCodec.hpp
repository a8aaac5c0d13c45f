#pragma once

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <vector>

namespace plykit {

// Fixed-width numbers in a chosen byte order, from and to byte buffers and
// raw memory. Byte order is always one flag, `bigEndian`: most significant
// byte first when true. Equal to the host's order means a plain copy (in bulk
// for arrays); otherwise each value is byte-swapped, floats through their bit
// pattern so NaN payloads and signed zeros survive.

inline constexpr bool hostIsBigEndian = std::endian::native == std::endian::big;

// The ten number types the codecs serve.
template <typename T>
concept CodecNumber = std::same_as<T, std::int8_t> || std::same_as<T, std::uint8_t> || std::same_as<T, std::int16_t> ||
                      std::same_as<T, std::uint16_t> || std::same_as<T, std::int32_t> ||
                      std::same_as<T, std::uint32_t> || std::same_as<T, std::int64_t> ||
                      std::same_as<T, std::uint64_t> || std::same_as<T, float> || std::same_as<T, double>;

// The unsigned integer of the same width holding a float's raw IEEE 754 bits.
template <typename T>
using BitPattern = std::conditional_t<sizeof(T) == 1, std::uint8_t,
                                      std::conditional_t<sizeof(T) == 2, std::uint16_t,
                                                         std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>>;

template <CodecNumber T>
constexpr BitPattern<T> bitPattern(T value) noexcept {
    return std::bit_cast<BitPattern<T>>(value);
}

template <CodecNumber T>
constexpr T fromBitPattern(BitPattern<T> pattern) noexcept {
    return std::bit_cast<T>(pattern);
}

// Reverses the value's bytes; the identity for one-byte types.
template <CodecNumber T>
constexpr T byteSwapped(T value) noexcept {
    if constexpr (sizeof(T) == 1) {
        return value;
    } else {
        auto pattern = bitPattern(value);
        if constexpr (sizeof(T) == 2) pattern = __builtin_bswap16(pattern);
        if constexpr (sizeof(T) == 4) pattern = __builtin_bswap32(pattern);
        if constexpr (sizeof(T) == 8) pattern = __builtin_bswap64(pattern);
        return fromBitPattern<T>(pattern);
    }
}

template <CodecNumber T>
constexpr T inByteOrder(T value, bool bigEndian) noexcept {
    return bigEndian == hostIsBigEndian ? value : byteSwapped(value);
}

template <CodecNumber T>
struct ByteCodec {
    // Bytes one value occupies in a file or in memory.
    static constexpr std::size_t byteWidth = sizeof(T);

    // --- byte buffers: `from` indexes the span; bytes past its end read as zero.

    static T read(std::span<const std::uint8_t> buffer, std::size_t from, bool bigEndian) noexcept {
        BitPattern<T> pattern = 0;
        if (from < buffer.size())
            std::memcpy(&pattern, buffer.data() + from, std::min(byteWidth, buffer.size() - from));
        return fromBitPattern<T>(inByteOrder(pattern, bigEndian));
    }
    static T read(std::span<const std::uint8_t> buffer, bool bigEndian) noexcept { return read(buffer, 0, bigEndian); }

    static std::vector<T> readArray(std::span<const std::uint8_t> buffer, std::size_t from, std::size_t count,
                                    bool bigEndian) {
        std::vector<T> values(count);
        if (count > 0 && from < buffer.size())
            std::memcpy(values.data(), buffer.data() + from, std::min(count * byteWidth, buffer.size() - from));
        if (bigEndian != hostIsBigEndian)
            for (auto& value : values) value = byteSwapped(value);
        return values;
    }
    static std::vector<T> readArray(std::span<const std::uint8_t> buffer, std::size_t count, bool bigEndian) {
        return readArray(buffer, 0, count, bigEndian);
    }

    static void append(T value, std::vector<std::uint8_t>& buffer, bool bigEndian) {
        T ordered = inByteOrder(value, bigEndian);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&ordered);
        buffer.insert(buffer.end(), bytes, bytes + byteWidth);
    }
    static void appendArray(std::span<const T> values, std::vector<std::uint8_t>& buffer, bool bigEndian) {
        if (bigEndian == hostIsBigEndian) {
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(values.data());
            buffer.insert(buffer.end(), bytes, bytes + values.size() * byteWidth);
            return;
        }
        buffer.reserve(buffer.size() + values.size() * byteWidth);
        for (T value : values) append(value, buffer, bigEndian);
    }

    // --- raw memory: no alignment assumed, no bounds checked (the caller's).

    static T load(const void* address, std::size_t from, bool bigEndian) noexcept {
        BitPattern<T> pattern;
        std::memcpy(&pattern, static_cast<const std::uint8_t*>(address) + from, byteWidth);
        return fromBitPattern<T>(inByteOrder(pattern, bigEndian));
    }
    static T load(const void* address, bool bigEndian) noexcept { return load(address, 0, bigEndian); }

    static std::vector<T> loadArray(const void* address, std::size_t from, std::size_t count, bool bigEndian) {
        std::vector<T> values(count);
        loadArray(address, from, values, bigEndian);
        return values;
    }
    static std::vector<T> loadArray(const void* address, std::size_t count, bool bigEndian) {
        return loadArray(address, 0, count, bigEndian);
    }
    // Fills `values` in place, for callers that reuse their storage.
    static void loadArray(const void* address, std::size_t from, std::span<T> values, bool bigEndian) noexcept {
        if (values.empty()) return;
        std::memcpy(values.data(), static_cast<const std::uint8_t*>(address) + from, values.size() * byteWidth);
        if (bigEndian != hostIsBigEndian)
            for (auto& value : values) value = byteSwapped(value);
    }

    static std::size_t store(T value, void* address, std::size_t at, bool bigEndian) noexcept {
        T ordered = inByteOrder(value, bigEndian);
        std::memcpy(static_cast<std::uint8_t*>(address) + at, &ordered, byteWidth);
        return byteWidth;
    }
    static std::size_t store(T value, void* address, bool bigEndian) noexcept { return store(value, address, 0, bigEndian); }

    static std::size_t storeArray(std::span<const T> values, void* address, std::size_t at, bool bigEndian) noexcept {
        auto* target = static_cast<std::uint8_t*>(address) + at;
        if (values.empty()) return 0;
        if (bigEndian == hostIsBigEndian) {
            std::memcpy(target, values.data(), values.size() * byteWidth);
        } else {
            for (std::size_t i = 0; i < values.size(); ++i) store(values[i], target, i * byteWidth, bigEndian);
        }
        return values.size() * byteWidth;
    }
    static std::size_t storeArray(std::span<const T> values, void* address, bool bigEndian) noexcept {
        return storeArray(values, address, 0, bigEndian);
    }
};

}  // namespace plykit
