#include "PlyKit/NumberCoding.hpp"

#include <locale.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <system_error>

namespace plykit::numbers {

template <typename Integer>
std::optional<Integer> parseInteger(std::string_view token) noexcept {
    std::size_t position = 0;
    bool negative = false;
    if (!token.empty() && (token[0] == '+' || token[0] == '-')) {
        negative = token[0] == '-';
        position = 1;
    }
    if (position == token.size()) return std::nullopt;
    // The widest type is 32 bits, so 64 bits hold any in-range magnitude; stop
    // accumulating once it is out of range for every type.
    std::uint64_t magnitude = 0;
    for (; position < token.size(); ++position) {
        char c = token[position];
        if (c < '0' || c > '9') return std::nullopt;
        magnitude = magnitude * 10 + std::uint64_t(c - '0');
        if (magnitude > (std::uint64_t(1) << 33)) magnitude = std::uint64_t(1) << 33;
    }
    std::int64_t value = negative ? -std::int64_t(magnitude) : std::int64_t(magnitude);
    if (value < std::int64_t(std::numeric_limits<Integer>::min()) ||
        value > std::int64_t(std::numeric_limits<Integer>::max()))
        return std::nullopt;
    return static_cast<Integer>(value);
}

template std::optional<std::int8_t> parseInteger<std::int8_t>(std::string_view) noexcept;
template std::optional<std::uint8_t> parseInteger<std::uint8_t>(std::string_view) noexcept;
template std::optional<std::int16_t> parseInteger<std::int16_t>(std::string_view) noexcept;
template std::optional<std::uint16_t> parseInteger<std::uint16_t>(std::string_view) noexcept;
template std::optional<std::int32_t> parseInteger<std::int32_t>(std::string_view) noexcept;
template std::optional<std::uint32_t> parseInteger<std::uint32_t>(std::string_view) noexcept;

namespace {

// The C locale, made once: the fallback for the forms from_chars leaves to
// strtod (out-of-range values), never the process locale.
locale_t cLocale() noexcept {
    static locale_t locale = ::newlocale(LC_ALL_MASK, "C", locale_t(0));
    return locale;
}

template <typename Real>
std::optional<Real> parseReal(std::string_view token) noexcept {
    const char* begin = token.data();
    const char* end = begin + token.size();
    if (begin == end) return std::nullopt;
    // from_chars takes no "+" and no "0x"; strtod takes both.
    bool negative = false;
    const char* digits = begin;
    if (*digits == '+' || *digits == '-') {
        negative = *digits == '-';
        ++digits;
    }
    if (digits == end || *digits == '+' || *digits == '-') return std::nullopt;
    auto format = std::chars_format::general;
    if (end - digits > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        format = std::chars_format::hex;
        digits += 2;
        char first = *digits;
        bool hexDigit = (first >= '0' && first <= '9') || (first >= 'a' && first <= 'f') ||
                        (first >= 'A' && first <= 'F') || first == '.';
        if (!hexDigit) return std::nullopt;
    }
    Real value{};
    auto [stop, status] = std::from_chars(digits, end, value, format);
    if (stop != end) return std::nullopt;
    if (status == std::errc::result_out_of_range) {
        locale_t locale = cLocale();
        if (locale == locale_t(0)) return std::nullopt;
        std::string copy(token);
        char* parsedEnd = nullptr;
        Real fallback;
        if constexpr (sizeof(Real) == 4)
            fallback = ::strtof_l(copy.c_str(), &parsedEnd, locale);
        else
            fallback = ::strtod_l(copy.c_str(), &parsedEnd, locale);
        if (parsedEnd != copy.c_str() + copy.size()) return std::nullopt;
        return fallback;
    }
    if (status != std::errc()) return std::nullopt;
    return negative ? -value : value;
}

template <typename Real>
char* formatReal(char* out, Real value) noexcept {
    if (std::isnan(value)) {
        std::memcpy(out, "nan", 3);
        return out + 3;
    }
    auto [end, status] = std::to_chars(out, out + maximumNumberTextLength, value);
    if (status != std::errc()) return out;
    // Shortest form picks fixed or exponent notation; a whole fixed value
    // gets ".0" so it still reads as a float ("1.0", "-0.0").
    for (char* c = out; c != end; ++c)
        if (*c == '.' || *c == 'e' || *c == 'n') return end;
    end[0] = '.';
    end[1] = '0';
    return end + 2;
}

}  // namespace

std::optional<float> parseFloat(std::string_view token) noexcept { return parseReal<float>(token); }
std::optional<double> parseDouble(std::string_view token) noexcept { return parseReal<double>(token); }

char* formatFloat(char* out, float value) noexcept { return formatReal(out, value); }
char* formatFloat(char* out, double value) noexcept { return formatReal(out, value); }

template <typename Integer>
char* formatInteger(char* out, Integer value) noexcept {
    return std::to_chars(out, out + maximumNumberTextLength, value).ptr;
}

template char* formatInteger<std::int8_t>(char*, std::int8_t) noexcept;
template char* formatInteger<std::uint8_t>(char*, std::uint8_t) noexcept;
template char* formatInteger<std::int16_t>(char*, std::int16_t) noexcept;
template char* formatInteger<std::uint16_t>(char*, std::uint16_t) noexcept;
template char* formatInteger<std::int32_t>(char*, std::int32_t) noexcept;
template char* formatInteger<std::uint32_t>(char*, std::uint32_t) noexcept;
template char* formatInteger<std::size_t>(char*, std::size_t) noexcept;

}  // namespace plykit::numbers
