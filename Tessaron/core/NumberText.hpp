#pragma once

#include <cstdint>
#include <string>

namespace tessaron::core {

// Numbers as the system prints them, independent of the process locale.
//
// shortestText: the shortest decimal that reads back to the same value, with
// ".0" on whole values ("0.0", "0.05", "120.0"); exponent form ("1e-05",
// "1e+16") below 1e-4 and at or above 2^53 (2^24 for float), the form the
// engines' logs and command lines use. NaN is "nan", infinities "inf"/"-inf".
std::string shortestText(double value);
std::string shortestText(float value);

// printf-style fixed precision ("%.1f" is fixedText(v, 1)), always with '.'.
std::string fixedText(double value, int decimals);

// A whole number with its digits grouped in threes ("1,000,000", "-12,345").
std::string groupedDigits(int64_t value, char separator = ',');

// A count and its noun, the noun plural unless the count is 1: "1 frame",
// "0 frames", "12 frames". `noun` is the singular; the plural adds "s".
std::string countedNoun(int64_t count, const std::string& noun);

// Parses the whole text as a decimal double, locale-independent; false when
// any character is left over or the text is not a number.
bool parseDouble(const std::string& text, double& value);

}  // namespace tessaron::core
