#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>

#include "core/NumberText.hpp"
#include "support/DecimalCommaLocale.hpp"

using tessaron::core::countedNoun;
using tessaron::core::fixedText;
using tessaron::core::parseDouble;
using tessaron::core::shortestText;

TEST(NumberText, ShortestDoubleMatchesThePrintedForms) {
    EXPECT_EQ(shortestText(0.0), "0.0");
    EXPECT_EQ(shortestText(-0.0), "-0.0");
    EXPECT_EQ(shortestText(0.05), "0.05");
    EXPECT_EQ(shortestText(120.0), "120.0");
    EXPECT_EQ(shortestText(1.5), "1.5");
    EXPECT_EQ(shortestText(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(shortestText(0.0001), "0.0001");
    EXPECT_EQ(shortestText(0.00001), "1e-05");
    EXPECT_EQ(shortestText(1e15), "1000000000000000.0");
    EXPECT_EQ(shortestText(1e16), "1e+16");
    EXPECT_EQ(shortestText(-2.5e-7), "-2.5e-07");
    EXPECT_EQ(shortestText(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(shortestText(std::nan("")), "nan");
}

TEST(NumberText, ShortestFloatUsesFloatDigits) {
    EXPECT_EQ(shortestText(0.1f), "0.1");
    EXPECT_EQ(shortestText(0.00016f), "0.00016");
    EXPECT_EQ(shortestText(30000.0f), "30000.0");
    EXPECT_EQ(shortestText(16777216.0f), "1.6777216e+07");
    EXPECT_EQ(shortestText(1.6e-5f), "1.6e-05");
}

TEST(NumberText, EveryShortestTextReadsBackToTheSameBits) {
    const double samples[] = {1.0 / 3.0, 2.0 / 3.0, 123456.789, 5e-324, 1.7976931348623157e308, 0.007, 9007199254740991.0};
    for (double sample : samples) {
        double parsed = 0;
        ASSERT_TRUE(parseDouble(shortestText(sample), parsed)) << shortestText(sample);
        EXPECT_EQ(parsed, sample) << shortestText(sample);
    }
}

TEST(NumberText, IgnoresADecimalCommaLocale) {
    tessaron::testing::TempDir folder;
    if (!tessaron::testing::useDecimalCommaLocale(folder)) GTEST_SKIP() << "no decimal-comma locale can be made here";
    char formatted[16];
    std::snprintf(formatted, sizeof formatted, "%.1f", 1.5);
    ASSERT_STREQ(formatted, "1,5");  // the locale is in force
    EXPECT_EQ(shortestText(0.5), "0.5");
    EXPECT_EQ(fixedText(2.25, 1), "2.2");
    double parsed = 0;
    EXPECT_TRUE(parseDouble("2.5", parsed));
    EXPECT_EQ(parsed, 2.5);
    std::setlocale(LC_NUMERIC, "C");
}

TEST(NumberText, FixedTextRoundsLikePrintf) {
    EXPECT_EQ(fixedText(1.25, 1), "1.2");
    EXPECT_EQ(fixedText(1.35, 1), "1.4");
    EXPECT_EQ(fixedText(7.0, 0), "7");
    EXPECT_EQ(fixedText(-0.004, 2), "-0.00");
    EXPECT_EQ(fixedText(12.3456, 3), "12.346");
}

TEST(NumberText, ParseRejectsTrailingText) {
    double value = 0;
    EXPECT_FALSE(parseDouble("1.5x", value));
    EXPECT_FALSE(parseDouble("", value));
    EXPECT_FALSE(parseDouble("abc", value));
    EXPECT_TRUE(parseDouble("-3e2", value));
    EXPECT_EQ(value, -300.0);
}

TEST(NumberText, CountedNounIsSingularForOneOnly) {
    EXPECT_EQ(countedNoun(1, "frame"), "1 frame");
    EXPECT_EQ(countedNoun(0, "frame"), "0 frames");
    EXPECT_EQ(countedNoun(2, "frame"), "2 frames");
    EXPECT_EQ(countedNoun(-1, "frame"), "-1 frames");
}
