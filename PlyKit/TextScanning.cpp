#include "PlyKit/TextScanning.hpp"

#include <cstdint>

namespace plykit::text {

namespace {

// Decodes the code point at `position` of text already known to be valid
// UTF-8 (callers validate first); returns its byte length in `length`.
char32_t codePointAt(std::string_view bytes, std::size_t position, std::size_t& length) noexcept {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[position + i]); };
    unsigned char lead = byte(0);
    std::size_t available = bytes.size() - position;
    if (lead < 0x80) {
        length = 1;
        return lead;
    }
    if ((lead & 0xE0) == 0xC0 && available >= 2) {
        length = 2;
        return (char32_t(lead & 0x1F) << 6) | (byte(1) & 0x3F);
    }
    if ((lead & 0xF0) == 0xE0 && available >= 3) {
        length = 3;
        return (char32_t(lead & 0x0F) << 12) | (char32_t(byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
    }
    if ((lead & 0xF8) == 0xF0 && available >= 4) {
        length = 4;
        return (char32_t(lead & 0x07) << 18) | (char32_t(byte(1) & 0x3F) << 12) | (char32_t(byte(2) & 0x3F) << 6) |
               (byte(3) & 0x3F);
    }
    length = 1;
    return 0xFFFD;
}

bool isSpaceSeparator(char32_t c) noexcept {
    return c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

}  // namespace

bool isValidUTF8(std::string_view bytes) noexcept {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t size = bytes.size();
    std::size_t i = 0;
    while (i < size) {
        // Eight ASCII bytes at a time: the common case for PLY text.
        while (i + 8 <= size) {
            std::uint64_t word = 0;
            for (int k = 0; k < 8; ++k) word |= std::uint64_t(data[i + k]) << (8 * k);
            if (word & 0x8080808080808080ull) break;
            i += 8;
        }
        if (i >= size) break;
        unsigned char lead = data[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra;
        char32_t minimum;
        char32_t value;
        if ((lead & 0xE0) == 0xC0) {
            extra = 1, minimum = 0x80, value = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, minimum = 0x800, value = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, minimum = 0x10000, value = lead & 0x07;
        } else {
            return false;
        }
        if (size - i <= extra) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            unsigned char next = data[i + k];
            if ((next & 0xC0) != 0x80) return false;
            value = (value << 6) | (next & 0x3F);
        }
        if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

std::size_t horizontalSpaceLength(std::string_view bytes, std::size_t position) noexcept {
    if (position >= bytes.size()) return 0;
    unsigned char lead = static_cast<unsigned char>(bytes[position]);
    if (lead == ' ' || lead == '\t') return 1;
    if (lead < 0x80) return 0;
    std::size_t length = 0;
    char32_t c = codePointAt(bytes, position, length);
    return isSpaceSeparator(c) ? length : 0;
}

std::size_t patternSpaceLength(std::string_view bytes, std::size_t position) noexcept {
    if (position < bytes.size() && bytes[position] == '\f') return 1;
    return horizontalSpaceLength(bytes, position);
}

std::size_t lineTerminatorLength(std::string_view bytes, std::size_t position) noexcept {
    if (position >= bytes.size()) return 0;
    char c = bytes[position];
    if (c == '\n') return 1;
    if (c == '\r') return position + 1 < bytes.size() && bytes[position + 1] == '\n' ? 2 : 1;
    if (static_cast<unsigned char>(c) == 0xE2 && position + 2 < bytes.size() &&
        static_cast<unsigned char>(bytes[position + 1]) == 0x80) {
        unsigned char last = static_cast<unsigned char>(bytes[position + 2]);
        if (last == 0xA8 || last == 0xA9) return 3;
    }
    return 0;
}

bool isWordText(std::string_view word) noexcept {
    if (word.empty()) return false;
    for (char c : word) {
        auto byte = static_cast<unsigned char>(c);
        bool ascii = byte < 0x80;
        if (ascii && !((byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                       byte == '_'))
            return false;
    }
    return true;
}

bool isDecimalDigitText(std::string_view word) noexcept {
    if (word.empty()) return false;
    for (char c : word)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace plykit::text
