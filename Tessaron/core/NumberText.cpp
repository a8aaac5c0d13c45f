#include "core/NumberText.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace tessaron::core {

namespace {

// Formats the shortest round-trip digits of a finite value. `digits` and
// `exponent` come from to_chars' scientific form: d.ddd e±x.
template <typename Real>
std::string formatShortest(Real value, Real exponentThreshold) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";

    char buffer[64];
    auto [end, errc] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    if (errc != std::errc()) return "nan";
    std::string scientific(buffer, end);

    bool negative = scientific[0] == '-';
    std::string body = negative ? scientific.substr(1) : scientific;
    auto ePos = body.find('e');
    std::string mantissa = body.substr(0, ePos);
    int exponent = std::atoi(body.c_str() + ePos + 1);
    std::string digits;
    for (char c : mantissa)
        if (c != '.') digits += c;

    Real magnitude = std::fabs(value);
    std::string out = negative ? "-" : "";
    if (magnitude < Real(1e-4) || magnitude >= exponentThreshold) {
        out += digits.substr(0, 1);
        if (digits.size() > 1) out.append(".").append(digits, 1);
        char exponentText[16];
        std::snprintf(exponentText, sizeof exponentText, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
        return out + exponentText;
    }
    if (exponent >= 0) {
        std::string integerPart = digits.substr(0, std::min<size_t>(digits.size(), size_t(exponent) + 1));
        while (integerPart.size() < size_t(exponent) + 1) integerPart += '0';
        std::string fraction = digits.size() > size_t(exponent) + 1 ? digits.substr(size_t(exponent) + 1) : "0";
        return out + integerPart + "." + fraction;
    }
    // Built by appending: GCC 12 at -O3 misreads `"literal" + string` as an
    // overlapping copy (-Wrestrict).
    return out.append("0.").append(size_t(-exponent - 1), '0').append(digits);
}

}  // namespace

std::string shortestText(double value) { return formatShortest<double>(value, 9007199254740992.0); }

std::string shortestText(float value) { return formatShortest<float>(value, 16777216.0f); }

std::string fixedText(double value, int decimals) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char buffer[512];
    auto [end, errc] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    if (errc != std::errc()) return "nan";
    return std::string(buffer, end);
}

bool parseDouble(const std::string& text, double& value) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (begin != end && *begin == '+') ++begin;
    auto [ptr, errc] = std::from_chars(begin, end, value);
    return errc == std::errc() && ptr == end;
}

std::string groupedDigits(int64_t value, char separator) {
    // Through the unsigned magnitude, so the most negative value has one too.
    uint64_t magnitude = value < 0 ? 0 - uint64_t(value) : uint64_t(value);
    std::string digits = std::to_string(magnitude);
    std::string grouped;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) grouped += separator;
        grouped += digits[i];
    }
    return value < 0 ? "-" + grouped : grouped;
}

std::string countedNoun(int64_t count, const std::string& noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

}  // namespace tessaron::core
