#include "engines/TextLines.hpp"

namespace tessaron::engines {

namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

bool isASCIILineBreak(unsigned char byte) { return byte >= 0x0A && byte <= 0x0D; }

// U+0085, U+2028 and U+2029 in UTF-8.
bool isMultiByteLineBreak(std::string_view sequence) {
    return sequence == "\xC2\x85" || sequence == "\xE2\x80\xA8" || sequence == "\xE2\x80\xA9";
}

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

}  // namespace

void splitTextLines(std::string_view bytes, std::vector<std::string>& lines) {
    std::string current;
    auto finishLine = [&] {
        if (current.empty()) return;
        lines.push_back(std::move(current));
        current.clear();
    };
    auto byteAt = [&](size_t position) { return static_cast<unsigned char>(bytes[position]); };

    size_t position = 0;
    while (position < bytes.size()) {
        unsigned char lead = byteAt(position);
        if (lead < 0x80) {
            // Copy a run of plain ASCII at once: the common case by far.
            size_t runEnd = position;
            while (runEnd < bytes.size() && byteAt(runEnd) < 0x80 && !isASCIILineBreak(byteAt(runEnd))) ++runEnd;
            current.append(bytes.substr(position, runEnd - position));
            position = runEnd;
            if (position < bytes.size() && isASCIILineBreak(byteAt(position))) {
                finishLine();
                ++position;
            }
            continue;
        }

        LeadByte expected = classifyLead(lead);
        if (expected.length == 0) {
            current.append(kReplacementCharacter);
            ++position;
            continue;
        }
        size_t accepted = 1;
        while (accepted < expected.length && position + accepted < bytes.size()) {
            unsigned char next = byteAt(position + accepted);
            unsigned char low = accepted == 1 ? expected.secondLow : 0x80;
            unsigned char high = accepted == 1 ? expected.secondHigh : 0xBF;
            if (next < low || next > high) break;
            ++accepted;
        }
        if (accepted < expected.length) {
            // A truncated or broken sequence: one replacement for the bytes
            // that still fitted, then decoding resumes at the offending byte.
            current.append(kReplacementCharacter);
            position += accepted;
            continue;
        }
        std::string_view sequence = bytes.substr(position, expected.length);
        if (isMultiByteLineBreak(sequence)) {
            finishLine();
        } else {
            current.append(sequence);
        }
        position += expected.length;
    }
    finishLine();
}

size_t endOfLastLineBreak(std::string_view bytes, size_t from) {
    for (size_t position = bytes.size(); position > from; --position) {
        char byte = bytes[position - 1];
        if (byte == '\n' || byte == '\r') return position;
    }
    return 0;
}

}  // namespace tessaron::engines
