#include "core/TextDecoding.hpp"

#include <charconv>

namespace tessaron::core {

std::string decodeUTF8Lossy(std::string_view bytes) {
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string text;
    text.reserve(bytes.size());
    size_t index = 0;
    while (index < bytes.size()) {
        auto lead = static_cast<uint8_t>(bytes[index]);
        if (lead < 0x80) {
            text.push_back(char(lead));
            ++index;
            continue;
        }
        // Length and the allowed range of the second byte (Unicode table 3-7).
        size_t length = 0;
        uint8_t low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead == 0xE0) {
            length = 3, low = 0xA0;
        } else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
            length = 3;
        } else if (lead == 0xED) {
            length = 3, high = 0x9F;
        } else if (lead == 0xF0) {
            length = 4, low = 0x90;
        } else if (lead >= 0xF1 && lead <= 0xF3) {
            length = 4;
        } else if (lead == 0xF4) {
            length = 4, high = 0x8F;
        } else {
            text.append(replacement);
            ++index;
            continue;
        }
        size_t valid = 1;
        while (valid < length && index + valid < bytes.size()) {
            auto next = static_cast<uint8_t>(bytes[index + valid]);
            uint8_t first = valid == 1 ? low : uint8_t(0x80);
            uint8_t last = valid == 1 ? high : uint8_t(0xBF);
            if (next < first || next > last) break;
            ++valid;
        }
        if (valid == length)
            text.append(bytes.substr(index, length));
        else
            text.append(replacement);
        index += valid;
    }
    return text;
}

std::optional<int64_t> parseDecimalInteger(std::string_view text) {
    size_t digitsStart = 0;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) digitsStart = 1;
    if (digitsStart == text.size()) return std::nullopt;
    for (size_t index = digitsStart; index < text.size(); ++index)
        if (text[index] < '0' || text[index] > '9') return std::nullopt;
    // from_chars takes a leading "-" but not "+".
    std::string_view number = text[0] == '+' ? text.substr(1) : text;
    int64_t value = 0;
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc() || end != number.data() + number.size()) return std::nullopt;
    return value;
}

}  // namespace tessaron::core
