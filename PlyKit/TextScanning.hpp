#pragma once

#include <cstddef>
#include <string_view>

namespace plykit {

// Text helpers shared by the header grammar and the ASCII body. PLY text is
// UTF-8; these work on its bytes without any locale.
namespace text {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUTF8(std::string_view bytes) noexcept;

// Byte length of the horizontal whitespace character (tab or a Unicode space
// separator, category Zs) starting at `position`, or 0 when there is none.
std::size_t horizontalSpaceLength(std::string_view bytes, std::size_t position) noexcept;

// The same for the header patterns' whitespace class: the horizontal spaces
// plus form feed (line terminators never occur inside a line).
std::size_t patternSpaceLength(std::string_view bytes, std::size_t position) noexcept;

// Byte length of a line terminator starting at `position` (LF, CR, CR LF,
// U+2028, U+2029), or 0.
std::size_t lineTerminatorLength(std::string_view bytes, std::size_t position) noexcept;

// Pattern classes of the header grammar. Non-ASCII characters count as word
// characters: no header keyword, type or format name has one, so they can
// only change which error a malformed line reports.
bool isWordText(std::string_view word) noexcept;
bool isDecimalDigitText(std::string_view word) noexcept;

}  // namespace text
}  // namespace plykit
