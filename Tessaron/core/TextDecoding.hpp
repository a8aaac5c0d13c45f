#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessaron::core {

// UTF-8 text from bytes of unknown quality: each maximal invalid subsequence
// becomes one U+FFFD, as the Unicode standard recommends; valid text passes
// through unchanged.
std::string decodeUTF8Lossy(std::string_view bytes);

// An optional "+" or "-", then one or more ASCII digits and nothing else,
// within the signed 64-bit range; nothing otherwise.
std::optional<int64_t> parseDecimalInteger(std::string_view text);

}  // namespace tessaron::core
