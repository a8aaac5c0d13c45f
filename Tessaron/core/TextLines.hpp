#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessaron::core {

// The lines of one chunk of a child's output. The bytes are decoded as UTF-8
// (each maximal invalid subsequence becomes one U+FFFD), split at every
// newline character (U+000A..U+000D, U+0085, U+2028, U+2029), and the empty
// pieces dropped, so "a\r\nb" gives two lines and "p1\rp2\n" gives p1, p2.
// The chunk stays one text; lines are found while they are read, so a chunk
// of many short lines costs no allocation per line.
class TextLines {
public:
    explicit TextLines(std::string_view bytes);

    // True when the chunk holds no line at all (nothing but line ends).
    bool empty() const;
    // The next line at or after `position` (UTF-8, without its line end),
    // moving `position` past it; false when no line is left. Start at 0.
    bool next(size_t& position, std::string_view& line) const;
    std::vector<std::string> strings() const;

private:
    std::string text_;  // the decoded chunk, well-formed UTF-8
    bool plainASCII_;
};

// Index one past the last CR or LF byte of `bytes` at or after `from`, or 0
// when there is none there: where a reader may cut without splitting a line.
size_t endOfLastLineBreak(std::string_view bytes, size_t from = 0);

}  // namespace tessaron::core
