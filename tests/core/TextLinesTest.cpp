#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/TextLines.hpp"

using tessaron::core::TextLines;

namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

}  // namespace

struct SplitCase {
    std::string name;
    std::string bytes;
    std::vector<std::string> lines;
};

void PrintTo(const SplitCase& value, std::ostream* out) { *out << value.name; }

class TextLineSplitting : public ::testing::TestWithParam<SplitCase> {};

TEST_P(TextLineSplitting, DecodesAndSplitsOnTheFullNewlineSet) {
    EXPECT_EQ(TextLines(GetParam().bytes).strings(), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, TextLineSplitting,
    ::testing::Values(
        SplitCase{"CrLfPairsGiveNoEmptyLines", "a\r\nb\r\n", {"a", "b"}},
        SplitCase{"BareCarriageReturnsSeparateProgress", "p1\rp2\rp3\n", {"p1", "p2", "p3"}},
        SplitCase{"OnlyLineEndsGiveNothing", "\n\r\n\r\r\n\n", {}},
        SplitCase{"EveryAsciiBreakCounts", "v\x0Bw\x0Cx\ry\nz", {"v", "w", "x", "y", "z"}},
        SplitCase{"UnicodeBreaksSplit", "x\xC2\x85y\xE2\x80\xA8z\xE2\x80\xA9w", {"x", "y", "z", "w"}},
        SplitCase{"WhitespaceIsKept", "  \n\tx \n", {"  ", "\tx "}},
        SplitCase{"ValidMultiByteUnchanged", "caf\xC3\xA9 \xF0\x9F\x98\x80\n", {"caf\xC3\xA9 \xF0\x9F\x98\x80"}},
        SplitCase{"StrayBytesEachReplaced", "ok\xFFmid\xC0\xAF" "end", {"ok" + kReplacement + "mid" + kReplacement + kReplacement + "end"}},
        SplitCase{"TruncatedSequenceIsOneReplacement", "a\xE2\x82z", {"a" + kReplacement + "z"}},
        SplitCase{"TruncatedAtChunkEnd", "abc\xF0\x9F\x98", {"abc" + kReplacement}},
        SplitCase{"OverlongFormRejected", "\xF0\x80\x80", {kReplacement + kReplacement + kReplacement}},
        SplitCase{"SurrogateRejected", "\xED\xA0\x80", {kReplacement + kReplacement + kReplacement}},
        SplitCase{"AboveUnicodeRangeRejected", "\xF4\x90\x80\x80", {kReplacement + kReplacement + kReplacement + kReplacement}},
        SplitCase{"BrokenSequenceResumesAtBreak", "q\xE2\x80\nr", {"q" + kReplacement, "r"}},
        // Plain ASCII is scanned eight bytes at a time: breaks at every offset
        // of a word, neighbours of the break range that are no breaks (0x09,
        // 0x0E, 0x7F), and lines longer than a word.
        SplitCase{"BreaksAtEveryWordOffset", "\n1\r22\x0B" "333\x0C" "4444\n55555\r666666\n7777777\n",
                  {"1", "22", "333", "4444", "55555", "666666", "7777777"}},
        SplitCase{"NeighboursOfTheBreakRangeStay", "a\tb\x0E" "c\x7F" "d\x01\x1F" "efghijklmnop\nq",
                  {"a\tb\x0E" "c\x7F" "d\x01\x1F" "efghijklmnop", "q"}},
        SplitCase{"LongLineAcrossManyWords", std::string(100, 'x') + "\r\n" + std::string(9, 'y'),
                  {std::string(100, 'x'), std::string(9, 'y')}}),
    [](const auto& info) { return info.param.name; });

TEST(TextLines, EmptyOnlyWhenNothingButLineEnds) {
    EXPECT_TRUE(TextLines("").empty());
    EXPECT_TRUE(TextLines("\r\n\n\xE2\x80\xA8\xC2\x85").empty());
    EXPECT_FALSE(TextLines("\n\n.").empty());
    EXPECT_FALSE(TextLines("\xFF").empty());  // a replacement character is a line
}
