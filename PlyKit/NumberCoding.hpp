#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace plykit::numbers {

// Number text of ASCII PLY bodies, independent of the process locale.

// Integers: one optional "+" or "-", then decimal digits and nothing else,
// within the type's range ("-0" is zero for every type).
template <typename Integer>
std::optional<Integer> parseInteger(std::string_view token) noexcept;

// Floats: the whole token as C's strtof/strtod in the C locale read it
// (sign, decimal or hexadecimal forms, inf, infinity, nan, nan(...));
// out-of-range values become infinity or zero as strtod gives them. A float
// is read directly at 32 bits, never through a double.
std::optional<float> parseFloat(std::string_view token) noexcept;
std::optional<double> parseDouble(std::string_view token) noexcept;

// Room enough for any text the formatters write.
inline constexpr std::size_t maximumNumberTextLength = 40;

// Shortest decimal that reads back to the same value at the value's own
// width, always with a fraction or an exponent ("1.0", "1e+16"), and "inf",
// "-inf" or "nan". Writes at `out` and returns the end.
char* formatFloat(char* out, float value) noexcept;
char* formatFloat(char* out, double value) noexcept;

template <typename Integer>
char* formatInteger(char* out, Integer value) noexcept;

}  // namespace plykit::numbers
