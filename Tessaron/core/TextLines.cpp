#include "core/TextLines.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

namespace tessaron::core {

namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

bool isASCIILineBreak(unsigned char byte) { return byte >= 0x0A && byte <= 0x0D; }

// The length of the well-formed sequence a lead byte starts and the allowed
// range of its second byte (the Unicode table of well-formed UTF-8, which
// rules out overlong forms, surrogates and values above U+10FFFF).
struct LeadByte {
    size_t length = 0;  // 0: the byte cannot start a sequence
    unsigned char secondLow = 0x80;
    unsigned char secondHigh = 0xBF;
};

LeadByte classifyLead(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return {2};
    if (lead == 0xE0) return {3, 0xA0, 0xBF};
    if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) return {3};
    if (lead == 0xED) return {3, 0x80, 0x9F};
    if (lead == 0xF0) return {4, 0x90, 0xBF};
    if (lead >= 0xF1 && lead <= 0xF3) return {4};
    if (lead == 0xF4) return {4, 0x80, 0x8F};
    return {};
}

// Well-formed UTF-8 for any bytes: valid sequences are kept, each maximal
// invalid subsequence becomes U+FFFD.
std::string decodeLossy(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    size_t validStart = 0;
    size_t position = 0;
    auto replace = [&](size_t invalidLength) {
        text.append(bytes.substr(validStart, position - validStart));
        text.append(kReplacementCharacter);
        position += invalidLength;
        validStart = position;
    };
    while (position < bytes.size()) {
        unsigned char lead = static_cast<unsigned char>(bytes[position]);
        if (lead < 0x80) {
            ++position;
            continue;
        }
        LeadByte expected = classifyLead(lead);
        if (expected.length == 0) {
            replace(1);
            continue;
        }
        size_t accepted = 1;
        while (accepted < expected.length && position + accepted < bytes.size()) {
            unsigned char next = static_cast<unsigned char>(bytes[position + accepted]);
            unsigned char low = accepted == 1 ? expected.secondLow : 0x80;
            unsigned char high = accepted == 1 ? expected.secondHigh : 0xBF;
            if (next < low || next > high) break;
            ++accepted;
        }
        if (accepted < expected.length) {
            // Truncated or broken: one replacement for the bytes that still
            // fitted, then decoding resumes at the offending byte.
            replace(accepted);
            continue;
        }
        position += expected.length;
    }
    text.append(bytes.substr(validStart));
    return text;
}

// Length of the newline character starting at `position` of well-formed
// UTF-8 text, or 0 when none starts there.
size_t lineBreakLength(std::string_view text, size_t position) {
    unsigned char byte = static_cast<unsigned char>(text[position]);
    if (isASCIILineBreak(byte)) return 1;
    if (byte == 0xC2 && position + 1 < text.size() && static_cast<unsigned char>(text[position + 1]) == 0x85) return 2;
    if (byte == 0xE2 && position + 2 < text.size() && static_cast<unsigned char>(text[position + 1]) == 0x80) {
        unsigned char last = static_cast<unsigned char>(text[position + 2]);
        if (last == 0xA8 || last == 0xA9) return 3;  // U+2028, U+2029
    }
    return 0;
}

}  // namespace

namespace {

// Eight bytes at a time: output of a million short lines spends most of its
// time in these two scans otherwise.
constexpr uint64_t kEveryByte(uint64_t byte) { return byte * 0x0101010101010101ull; }

uint64_t loadWord(const char* bytes) {
    uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

bool isPlainASCII(std::string_view bytes) {
    uint64_t highBits = 0;
    size_t position = 0;
    for (; position + 8 <= bytes.size(); position += 8) highBits |= loadWord(bytes.data() + position);
    for (; position < bytes.size(); ++position) highBits |= static_cast<unsigned char>(bytes[position]);
    return (highBits & kEveryByte(0x80)) == 0;
}

// Bit 7 of each byte of the result is set where the byte of `word` (all
// bytes below 0x80) lies in 0x0A..0x0D: adding 0x76 reaches 0x80 from 0x0A
// on, adding 0x72 from 0x0E on, and neither sum carries into the next byte.
uint64_t asciiBreakMask(uint64_t word) {
    return (word + kEveryByte(0x76)) & ~(word + kEveryByte(0x72)) & kEveryByte(0x80);
}

}  // namespace

TextLines::TextLines(std::string_view bytes) : plainASCII_(isPlainASCII(bytes)) {
    text_ = plainASCII_ ? std::string(bytes) : decodeLossy(bytes);
}

bool TextLines::empty() const {
    size_t position = 0;
    std::string_view line;
    return !next(position, line);
}

bool TextLines::next(size_t& position, std::string_view& line) const {
    const size_t textSize = text_.size();
    // Skip the line ends in front of the line.
    if (plainASCII_) {
        while (position < textSize && isASCIILineBreak(static_cast<unsigned char>(text_[position]))) ++position;
    } else {
        while (position < textSize) {
            size_t breakLength = lineBreakLength(text_, position);
            if (breakLength == 0) break;
            position += breakLength;
        }
    }
    if (position >= textSize) return false;

    // The line starts at a byte that is no line end, so it is never empty.
    size_t lineStart = position;
    size_t breakLength = 0;
    if (plainASCII_ && std::endian::native == std::endian::little) {
        for (; position + 8 <= textSize; position += 8) {
            uint64_t mask = asciiBreakMask(loadWord(text_.data() + position));
            if (mask != 0) {
                position += size_t(std::countr_zero(mask)) / 8;
                breakLength = 1;
                break;
            }
        }
    }
    while (breakLength == 0 && position < textSize) {
        breakLength = lineBreakLength(text_, position);
        if (breakLength == 0) ++position;
    }
    line = std::string_view(text_).substr(lineStart, position - lineStart);
    position += breakLength;
    return true;
}

std::vector<std::string> TextLines::strings() const {
    std::vector<std::string> lines;
    size_t position = 0;
    std::string_view line;
    while (next(position, line)) lines.emplace_back(line);
    return lines;
}

size_t endOfLastLineBreak(std::string_view bytes, size_t from) {
    for (size_t position = bytes.size(); position > from; --position) {
        char byte = bytes[position - 1];
        if (byte == '\n' || byte == '\r') return position;
    }
    return 0;
}

}  // namespace tessaron::core
