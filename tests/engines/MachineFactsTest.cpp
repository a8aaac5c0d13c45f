#include <gtest/gtest.h>

#include "engines/MachineFacts.hpp"

namespace tessaron::engines {
namespace {

TEST(MachineFacts, OsReleaseValuesLoseQuotesAndEscapes) {
    const std::string osRelease =
        "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n"
        "ID=debian\nBUILD_ID='rolling'\nVARIANT=\"Say \\\"hi\\\"\"\nEMPTY=\"\"\n";
    EXPECT_EQ(MachineFacts::osReleaseValue(osRelease, "VERSION_ID"), "12");
    EXPECT_EQ(MachineFacts::osReleaseValue(osRelease, "ID"), "debian");
    EXPECT_EQ(MachineFacts::osReleaseValue(osRelease, "BUILD_ID"), "rolling");
    EXPECT_EQ(MachineFacts::osReleaseValue(osRelease, "VARIANT"), "Say \"hi\"");
    EXPECT_FALSE(MachineFacts::osReleaseValue(osRelease, "EMPTY").has_value());
    EXPECT_FALSE(MachineFacts::osReleaseValue(osRelease, "VERSION").has_value());
    // A key is matched whole: NAME is not PRETTY_NAME.
    EXPECT_EQ(MachineFacts::osReleaseValue(osRelease, "NAME"), "Debian GNU/Linux");
}

TEST(MachineFacts, ProcessorIsTheFirstModelName) {
    EXPECT_EQ(MachineFacts::cpuModelName("processor\t: 0\nvendor_id\t: AuthenticAMD\nmodel\t\t: 80\n"
                                         "model name\t: AMD Ryzen 7 PRO 5850U with Radeon Graphics\n"
                                         "processor\t: 1\nmodel name\t: other\n"),
              "AMD Ryzen 7 PRO 5850U with Radeon Graphics");
    EXPECT_FALSE(MachineFacts::cpuModelName("processor : 0\nHardware : BCM2835\nmodel name :   \n").has_value());
}

TEST(MachineFacts, DottedVersions) {
    using Version = std::array<int64_t, 3>;
    EXPECT_EQ(MachineFacts::dottedVersion("12"), (Version{12, 0, 0}));
    EXPECT_EQ(MachineFacts::dottedVersion("22.04"), (Version{22, 4, 0}));
    EXPECT_EQ(MachineFacts::dottedVersion("1.2.3"), (Version{1, 2, 3}));
    EXPECT_EQ(MachineFacts::dottedVersion("9223372036854775807"), (Version{INT64_MAX, 0, 0}));
    for (const char* refused : {"", ".", "12.", ".1", "1..2", "1.2.3.4", "a", "1.x", "-1", "+1", " 1",
                                "9223372036854775808", "1.2.3."})
        EXPECT_FALSE(MachineFacts::dottedVersion(refused).has_value()) << refused;
}

TEST(MachineFacts, MemoryRoundsToTheNearestGiB) {
    constexpr uint64_t gib = uint64_t(1) << 30;
    EXPECT_EQ(MachineFacts::roundedMemoryGB(0), 0);
    EXPECT_EQ(MachineFacts::roundedMemoryGB(16 * gib), 16);
    EXPECT_EQ(MachineFacts::roundedMemoryGB(15 * gib + gib / 2), 16);
    EXPECT_EQ(MachineFacts::roundedMemoryGB(15 * gib + gib / 2 - 1), 15);
    EXPECT_EQ(MachineFacts::roundedMemoryGB(gib / 2 - 1), 0);
}

TEST(MachineFacts, ThisComputerHasNamesForEverything) {
    EXPECT_FALSE(MachineFacts::model().empty());
    EXPECT_FALSE(MachineFacts::processor().empty());
    EXPECT_FALSE(MachineFacts::gpuName().empty());
    EXPECT_FALSE(MachineFacts::operatingSystemName().empty());
    std::string system = MachineFacts::operatingSystem();
    EXPECT_TRUE(system.starts_with(MachineFacts::operatingSystemName()));
    if (auto versionID = MachineFacts::operatingSystemVersionID()) {
        EXPECT_NE(system.find(*versionID), std::string::npos);
    }
}

}  // namespace
}  // namespace tessaron::engines
