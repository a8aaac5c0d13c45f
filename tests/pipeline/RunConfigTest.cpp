#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "HostileFiles.hpp"
#include "core/AtomicFile.hpp"
#include "pipeline/RunConfig.hpp"
#include "support/TempDir.hpp"

using tessaron::pipeline::RunConfig;
using tessaron::testing::readTextFile;
using tessaron::testing::TempDir;
using tessaron::testing::writeTextFile;

TEST(RunConfig, EncodesTheFourKeysCompactly) {
    RunConfig config{2, true, 1000000, 30000};
    EXPECT_EQ(config.encode(), R"({"downscale":2,"eval":true,"capMax":1000000,"iterations":30000})");
    EXPECT_EQ(RunConfig::decode(config.encode()), config);
}

TEST(RunConfig, DecodesKeysInAnyOrderAndIgnoresOthers) {
    EXPECT_EQ(RunConfig::decode(R"({"iterations": 7000, "note": "x", "eval": false, "capMax": 3000000, "downscale": 1})"),
              (RunConfig{1, false, 3000000, 7000}));
}

// What a new plan of the run needs is recorded after the four keys; a file
// written before (without them) still loads.
TEST(RunConfig, RecordsTheReplanSettingsAsOptionalKeys) {
    RunConfig config{1, true, 400000, 7000};
    config.ramLimitGB = 7.5;
    config.viewsPerFrame = 8;
    config.overridePartitionParams = false;
    EXPECT_EQ(config.encode(), R"({"downscale":1,"eval":true,"capMax":400000,"iterations":7000,"ramLimitGB":7.5,)"
                               R"("viewsPerFrame":8,"overridePartitionParams":false})");
    EXPECT_EQ(RunConfig::decode(config.encode()), config);
    const RunConfig older = RunConfig::decode(R"({"downscale":1,"eval":true,"capMax":400000,"iterations":7000})");
    EXPECT_EQ(older, (RunConfig{1, true, 400000, 7000}));
    EXPECT_FALSE(older.ramLimitGB || older.viewsPerFrame || older.overridePartitionParams);
}

class RunConfigRejects : public ::testing::TestWithParam<const char*> {};

TEST_P(RunConfigRejects, MalformedSettings) { EXPECT_THROW(RunConfig::decode(GetParam()), RunConfig::DecodeError); }

INSTANTIATE_TEST_SUITE_P(
    Malformed, RunConfigRejects,
    ::testing::Values(R"({"downscale":2,"eval":true,"capMax":1000000})",           // iterations missing
                      R"({"downscale":2,"capMax":1000000,"iterations":1})",         // eval missing
                      R"({"downscale":"2","eval":true,"capMax":1,"iterations":1})",  // a string
                      R"({"downscale":2,"eval":1,"capMax":1,"iterations":1})",       // eval not a boolean
                      R"({"downscale":2.5,"eval":true,"capMax":1,"iterations":1})",  // not an integer
                      R"({"downscale":2,"eval":true,"capMax":9223372036854775808,"iterations":1})",  // too large
                      R"({"downscale":2,"eval":true,"capMax":1,"iterations":1,"ramLimitGB":0})",
                      R"({"downscale":2,"eval":true,"capMax":1,"iterations":1,"ramLimitGB":"8"})",
                      R"({"downscale":2,"eval":true,"capMax":1,"iterations":1,"viewsPerFrame":-1})",
                      R"({"downscale":2,"eval":true,"capMax":1,"iterations":1,"overridePartitionParams":1})",
                      "[]", "", "{"));

// Numbers outside what the option takes are refused with the key's name,
// never narrowed: 4294967299 would run at 3x and 4294967396 iterations at 100.
struct OutOfRangeSetting {
    const char* name;
    const char* json;
    const char* message;
};

class RunConfigOutOfRange : public ::testing::TestWithParam<OutOfRangeSetting> {};

TEST_P(RunConfigOutOfRange, IsRefusedNamingTheKey) {
    try {
        RunConfig::decode(GetParam().json);
        FAIL() << "decoded " << GetParam().json;
    } catch (const RunConfig::DecodeError& error) {
        EXPECT_EQ(std::string(error.what()), GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, RunConfigOutOfRange,
    ::testing::Values(
        OutOfRangeSetting{"DownscaleBeyondFourGiB", R"({"downscale":4294967299,"eval":true,"capMax":1000000,"iterations":30000})",
                          "run_config.json: \"downscale\" is 4294967299, outside 1…2147483647"},
        OutOfRangeSetting{"DownscaleOneAboveInt", R"({"downscale":2147483648,"eval":true,"capMax":1000000,"iterations":30000})",
                          "run_config.json: \"downscale\" is 2147483648, outside 1…2147483647"},
        OutOfRangeSetting{"DownscaleZero", R"({"downscale":0,"eval":true,"capMax":1000000,"iterations":30000})",
                          "run_config.json: \"downscale\" is 0, outside 1…2147483647"},
        OutOfRangeSetting{"IterationsBeyondFourGiB", R"({"downscale":2,"eval":true,"capMax":1000000,"iterations":4294967396})",
                          "run_config.json: \"iterations\" is 4294967396, outside 1…1000000"},
        OutOfRangeSetting{"IterationsTenToTheTwelfth", R"({"downscale":2,"eval":true,"capMax":1000000,"iterations":1000000000000})",
                          "run_config.json: \"iterations\" is 1000000000000, outside 1…1000000"},
        OutOfRangeSetting{"IterationsNegative", R"({"downscale":2,"eval":true,"capMax":1000000,"iterations":-1})",
                          "run_config.json: \"iterations\" is -1, outside 1…1000000"},
        OutOfRangeSetting{"CapMaxZero", R"({"downscale":2,"eval":true,"capMax":0,"iterations":30000})",
                          "run_config.json: \"capMax\" is 0, outside 1…10000000"},
        // The runner's limits, one past each: the run would end at training.
        OutOfRangeSetting{"IterationsOneAboveTheRunners", R"({"downscale":2,"eval":true,"capMax":1000000,"iterations":1000001})",
                          "run_config.json: \"iterations\" is 1000001, outside 1…1000000"},
        OutOfRangeSetting{"CapMaxOneAboveTheRunners", R"({"downscale":2,"eval":true,"capMax":10000001,"iterations":30000})",
                          "run_config.json: \"capMax\" is 10000001, outside 1…10000000"},
        OutOfRangeSetting{"ViewsPerFrameAboveItsBound", R"({"downscale":2,"eval":true,"capMax":1,"iterations":1,"viewsPerFrame":1001})",
                          "run_config.json: \"viewsPerFrame\" is 1001, outside 0…1000"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RunConfig, TheLargestValuesTheOptionsTakeAreKept) {
    const RunConfig config = RunConfig::decode(
        R"({"downscale":2147483647,"eval":false,"capMax":10000000,"iterations":1000000})");
    EXPECT_EQ(config, (RunConfig{2147483647, false, 10000000, 1000000}));
}

TEST(RunConfig, SavesAndLoadsInTheWorkspace) {
    TempDir workspace;
    RunConfig config{4, false, 250000, 12000};
    config.save(workspace.path());
    EXPECT_EQ(readTextFile(workspace / "run_config.json"), config.encode());
    EXPECT_EQ(RunConfig::load(workspace.path()), config);
}

TEST(RunConfig, OnlyASmallRegularFileIsLoaded) {
    for (const auto& kind : tessaron::testing::hostileFiles(RunConfig::maximumFileBytes, RunConfig{2, true, 1, 1}.encode())) {
        SCOPED_TRACE(kind.name);
        TempDir workspace;
        kind.make(workspace / "run_config.json");
        std::string message;
        EXPECT_TRUE(tessaron::testing::returnsWithin(workspace / "run_config.json", [&] {
            try {
                RunConfig::load(workspace.path());
            } catch (const tessaron::core::Error& error) {
                message = error.what();
            }
        }));
        EXPECT_THAT(message, ::testing::HasSubstr((workspace / "run_config.json").string()));
        EXPECT_THAT(message, ::testing::HasSubstr(kind.reason));
    }
}

TEST(RunConfig, AFailedSavePassesTheErrorOn) {
    TempDir workspace;
    // A folder in the file's place cannot be replaced by the new file.
    writeTextFile(workspace / "run_config.json" / "keep", "x");
    EXPECT_THROW((RunConfig{1, true, 1, 1}.save(workspace.path())), tessaron::core::Error);
    EXPECT_EQ(readTextFile(workspace / "run_config.json" / "keep"), "x");
}
