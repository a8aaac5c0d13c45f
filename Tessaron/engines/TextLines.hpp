#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessaron::engines {

// Turns a chunk of a child's output into lines: decodes the bytes as UTF-8
// (each maximal invalid subsequence becomes one U+FFFD), splits at every
// newline character (U+000A..U+000D, U+0085, U+2028, U+2029) and drops the
// empty pieces, so "a\r\nb" gives two lines and "p1\rp2\n" gives p1, p2.
// The lines are appended to `lines`, UTF-8 encoded.
void splitTextLines(std::string_view bytes, std::vector<std::string>& lines);

// Index one past the last CR or LF byte of `bytes` at or after `from`, or 0
// when there is none there: where a reader may cut without splitting a line.
size_t endOfLastLineBreak(std::string_view bytes, size_t from = 0);

}  // namespace tessaron::engines
