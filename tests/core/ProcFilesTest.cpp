// The reader of the kernel's small text files: the shapes of meminfo,
// status, cpuinfo, uevent and stat lines, and files that report no size.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "core/ProcFiles.hpp"
#include "support/TempDir.hpp"

namespace procfiles = tessaron::core::procfiles;

TEST(ProcFiles, ValuesAreFoundByWholeKeyWithBlanksAroundTrimmed) {
    const std::string status = "Name:\ttrevik\nVmDataX:\t  9 kB\nVmData:\t  123456 kB\nVmRSS:\t 2048 kB\n";
    EXPECT_EQ(procfiles::value(status, "Name"), "trevik");
    EXPECT_EQ(procfiles::value(status, "VmData"), "123456 kB");
    EXPECT_EQ(procfiles::number(status, "VmData"), 123456u);
    EXPECT_EQ(procfiles::number(status, "VmRSS"), 2048u);
    EXPECT_EQ(procfiles::number(status, "VmSwap"), std::nullopt);
    // cpuinfo pads its keys with tabs; an empty value is passed over.
    const std::string cpuinfo = "processor\t: 0\nmodel name\t:\nmodel name\t: Example CPU @ 3.00GHz\n";
    EXPECT_EQ(procfiles::value(cpuinfo, "model name"), "Example CPU @ 3.00GHz");
    EXPECT_EQ(procfiles::value("DRIVER=i915\nPCI_ID=8086:3E92\n", "PCI_ID", '='), "8086:3E92");
    // A value that is not a number, or one past 64 bits, gives none.
    EXPECT_EQ(procfiles::number("MemTotal: many kB\n", "MemTotal"), std::nullopt);
    EXPECT_EQ(procfiles::number("MemTotal: 18446744073709551616 kB", "MemTotal"), std::nullopt);
    EXPECT_EQ(procfiles::number("MemTotal: 18446744073709551615 kB", "MemTotal"), 18446744073709551615u);
}

TEST(ProcFiles, LeadingNumbersStopAtTheFirstFieldThatIsNone) {
    EXPECT_EQ(procfiles::leadingNumbers("  10 20 30 40", 8), (std::vector<uint64_t>{10, 20, 30, 40}));
    EXPECT_EQ(procfiles::leadingNumbers("1 2 x 4", 8), (std::vector<uint64_t>{1, 2}));
    EXPECT_EQ(procfiles::leadingNumbers("1 2 3 4 5", 3), (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_TRUE(procfiles::leadingNumbers("", 3).empty());
}

TEST(ProcFiles, StatFieldsCountFromThePidPastACommandNameWithBlanksAndParentheses) {
    const auto fields = procfiles::StatFields::parse("4242 (a (b) c) R 1 4242 4242 0 -1 4194304 90 0 0 0 "
                                                     "1500 250 0 0 20 0 9 0 100 400000000 2048 rest\n");
    ASSERT_TRUE(fields.has_value());
    EXPECT_EQ((*fields)[3], "R");
    EXPECT_EQ(fields->numberAt(4), 1);
    EXPECT_EQ(fields->numberAt(8), -1);
    EXPECT_EQ(fields->numberAt(14), 1500);
    EXPECT_EQ(fields->numberAt(15), 250);
    EXPECT_EQ(fields->numberAt(24), 2048);
    EXPECT_EQ(fields->numberAt(25), std::nullopt);  // "rest"
    EXPECT_EQ((*fields)[26], "");
    EXPECT_EQ(fields->numberAt(99), std::nullopt);
    EXPECT_EQ(procfiles::StatFields::parse("4242 no name"), std::nullopt);
}

TEST(ProcFiles, FilesWithoutASizeAreReadWholeAndMissingOnesGiveNothing) {
    // The kernel's files report a size of 0.
    const auto status = procfiles::read("/proc/self/status");
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(procfiles::value(*status, "Pid"), std::to_string(::getpid()));
    const auto stat = procfiles::read("/proc/self/stat");
    ASSERT_TRUE(stat.has_value());
    const auto fields = procfiles::StatFields::parse(*stat);
    ASSERT_TRUE(fields.has_value());
    EXPECT_EQ((*fields)[3], "R");

    tessaron::testing::TempDir folder("tessaron-procfiles");
    const std::string large(20000, 'x');
    tessaron::testing::writeTextFile(folder / "large", large);
    EXPECT_EQ(procfiles::read(folder / "large"), large);
    EXPECT_EQ(procfiles::read(folder / "missing"), std::nullopt);
}
