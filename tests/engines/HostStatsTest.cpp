#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "engines/HostStats.hpp"
#include "support/TempDir.hpp"

using tessaron::engines::HostStats;
using tessaron::testing::TempDir;
using tessaron::testing::writeTextFile;

namespace {

// A /proc/stat whose aggregate line has the given counters.
std::string statText(const std::string& counters) {
    return "cpu  " + counters + "\ncpu0 1 2 3 4 5 6 7 8 0 0\nintr 12345 0 0\nbtime 1700000000\n";
}

constexpr const char* meminfo = "MemTotal:       32768000 kB\n"
                                "MemFree:         1000000 kB\n"
                                "MemAvailable:   20000000 kB\n"
                                "Buffers:          200000 kB\n";

}  // namespace

TEST(HostStats, LoadIsTheBusyShareBetweenTwoSamplesAndTheFirstGivesNothing) {
    TempDir proc("tessaron-hoststats");
    writeTextFile(proc / "meminfo", meminfo);
    HostStats stats(proc.path());
    // user nice system idle iowait irq softirq steal guest guest_nice
    writeTextFile(proc / "stat", statText("1000 500 400 8000 100 0 0 0 300 0"));
    EXPECT_EQ(stats.sampleCPUPercent(), std::nullopt);
    // +300 user, +900 nice (ignored), +100 system, +500 idle, +100 iowait: 400 of 1000.
    writeTextFile(proc / "stat", statText("1300 1400 500 8500 200 0 0 0 300 0"));
    EXPECT_DOUBLE_EQ(stats.sampleCPUPercent().value_or(-1), 40.0);
    writeTextFile(proc / "stat", statText("1300 1400 500 8500 200 0 0 0 300 0"));
    // No tick passed: nothing to say.
    EXPECT_EQ(stats.sampleCPUPercent(), std::nullopt);
    writeTextFile(proc / "stat", statText("1350 1400 500 8650 200 0 0 0 300 0"));
    EXPECT_DOUBLE_EQ(stats.sampleCPUPercent().value_or(-1), 25.0);
    // Interrupts and stolen time are busy: +20 irq +30 softirq +50 steal of 300.
    writeTextFile(proc / "stat", statText("1350 1400 500 8850 200 20 30 50 300 0"));
    EXPECT_DOUBLE_EQ(stats.sampleCPUPercent().value_or(-1), 100.0 / 3.0);
}

TEST(HostStats, UnreadableOrMalformedFilesGiveNothing) {
    TempDir proc("tessaron-hoststats");
    HostStats stats(proc.path());
    EXPECT_EQ(stats.sampleCPUPercent(), std::nullopt);
    EXPECT_EQ(stats.sampleMemory(), std::nullopt);
    EXPECT_EQ(HostStats::parseCPUTimes("cpu0 1 2 3 4\n"), std::nullopt);
    EXPECT_EQ(HostStats::parseCPUTimes("cpu  1 2 x\n"), std::nullopt);
    EXPECT_EQ(HostStats::parseMemory("MemTotal: 1000 kB\n"), std::nullopt);
    EXPECT_EQ(HostStats::parseMemory("MemTotalX: 1000 kB\nMemAvailable: 10 kB\n"), std::nullopt);
    // A kernel without iowait and later columns still counts.
    const auto times = HostStats::parseCPUTimes("cpu  10 20 30 40\n");
    ASSERT_TRUE(times.has_value());
    EXPECT_EQ(times->busy, 40u);
    EXPECT_EQ(times->total, 80u);
}

TEST(HostStats, MemoryIsTotalLessAvailable) {
    TempDir proc("tessaron-hoststats");
    writeTextFile(proc / "meminfo", meminfo);
    const auto memory = HostStats(proc.path()).sampleMemory();
    ASSERT_TRUE(memory.has_value());
    EXPECT_EQ(memory->totalBytes, 32768000ull * 1024);
    EXPECT_EQ(memory->usedBytes, 12768000ull * 1024);
    // The machine's own files read.
    const auto real = HostStats().sampleMemory();
    ASSERT_TRUE(real.has_value());
    EXPECT_GT(real->totalBytes, 0u);
    EXPECT_LE(real->usedBytes, real->totalBytes);
}
