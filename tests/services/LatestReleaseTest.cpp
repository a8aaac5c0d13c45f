#include <gtest/gtest.h>

#include "services/LatestRelease.hpp"

namespace tessaron::services {
namespace {

TEST(LatestRelease, DecodesEveryFieldAndIgnoresOtherKeys) {
    LatestRelease release = LatestRelease::decode(R"({"version": "1.4", "build": 140, "url": "https://a.example/t",
        "sha256": "ff00", "notes_url": "https://a.example/notes", "min_os": "12.1", "channel": "beta"})");
    EXPECT_EQ(release.version, "1.4");
    EXPECT_EQ(release.build, 140);
    EXPECT_EQ(release.url, QUrl("https://a.example/t"));
    EXPECT_EQ(release.sha256, "ff00");
    EXPECT_EQ(release.notesURL, QUrl("https://a.example/notes"));
    EXPECT_EQ(release.minOS, QString("12.1"));

    LatestRelease bare = LatestRelease::decode(
        R"({"version": "1.4", "build": -9223372036854775808, "url": "https://a.example/t", "sha256": "", "notes_url": null})");
    EXPECT_EQ(bare.build, INT64_MIN);
    EXPECT_FALSE(bare.notesURL.has_value());
    EXPECT_FALSE(bare.minOS.has_value());
    EXPECT_NE(bare, release);
}

class UndecodableFeed : public ::testing::TestWithParam<const char*> {};

TEST_P(UndecodableFeed, Throws) { EXPECT_THROW(LatestRelease::decode(GetParam()), LatestRelease::DecodeError); }

INSTANTIATE_TEST_SUITE_P(
    Feeds, UndecodableFeed,
    ::testing::Values("", "[]", "{", R"({"build": 2, "url": "https://a/t", "sha256": "x"})",
                      R"({"version": "2", "build": "2", "url": "https://a/t", "sha256": "x"})",
                      R"({"version": "2", "build": 2.5, "url": "https://a/t", "sha256": "x"})",
                      R"({"version": "2", "build": 9223372036854775808, "url": "https://a/t", "sha256": "x"})",
                      R"({"version": "2", "build": 2, "url": "", "sha256": "x"})",
                      R"({"version": "2", "build": 2, "url": "https://a b/t", "sha256": "x"})",
                      R"({"version": "2", "build": 2, "url": "https://a/t"})",
                      R"({"version": 2, "build": 2, "url": "https://a/t", "sha256": "x"})",
                      R"({"version": "2", "build": 2, "url": "https://a/t", "sha256": "x", "min_os": 12})"));

TEST(LatestRelease, CodingKeysHoldTheFeedsKeyTexts) {
    using Key = LatestRelease::CodingKey;
    for (Key key : {Key::version, Key::build, Key::url, Key::sha256, Key::notesURL, Key::minOS})
        EXPECT_EQ(LatestRelease::codingKeyFromString(LatestRelease::toString(key)), key);
    EXPECT_EQ(LatestRelease::toString(Key::notesURL), "notes_url");
    EXPECT_EQ(LatestRelease::toString(Key::minOS), "min_os");
    EXPECT_FALSE(LatestRelease::codingKeyFromString("notesURL").has_value());
    EXPECT_FALSE(LatestRelease::codingKeyFromString("Version").has_value());
}

}  // namespace
}  // namespace tessaron::services
