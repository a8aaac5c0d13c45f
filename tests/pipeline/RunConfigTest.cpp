#include <gtest/gtest.h>

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
                      "[]", "", "{"));

TEST(RunConfig, SavesAndLoadsInTheWorkspace) {
    TempDir workspace;
    RunConfig config{4, false, 250000, 12000};
    config.save(workspace.path());
    EXPECT_EQ(readTextFile(workspace / "run_config.json"), config.encode());
    EXPECT_EQ(RunConfig::load(workspace.path()), config);
}

TEST(RunConfig, AFailedSavePassesTheErrorOn) {
    TempDir workspace;
    // A folder in the file's place cannot be replaced by the new file.
    writeTextFile(workspace / "run_config.json" / "keep", "x");
    EXPECT_THROW((RunConfig{1, true, 1, 1}.save(workspace.path())), tessaron::core::Error);
    EXPECT_EQ(readTextFile(workspace / "run_config.json" / "keep"), "x");
}
