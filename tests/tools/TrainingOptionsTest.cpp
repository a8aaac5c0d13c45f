#include <gtest/gtest.h>

#include <map>

#include "support/engine/TestEngineKnobs.hpp"
#include "trevik/TrainingOptions.hpp"

using tessaron::testing::TestEngineKnobs;
using tessaron::trevik::EngineSettings;
using tessaron::trevik::TrainingOptions;

namespace {

using Arguments = std::vector<std::string>;

const Arguments fullCommand = {"/w/dataset", "-n", "7000", "-o", "/w/out.ply", "--cap-max", "1000000",
                               "--bg-color", "0", "0", "0", "--position-lr-max-steps", "7000",
                               "-d", "2", "--eval", "--cull-radius", "0.0", "--early-stop", "0.05",
                               "--mask-dir", "/w/masks"};

void expectFull(const TrainingOptions& options) {
    EXPECT_EQ(options.dataset, "/w/dataset");
    EXPECT_EQ(options.iterations, 7000);
    EXPECT_EQ(options.output, "/w/out.ply");
    EXPECT_EQ(options.capMax, 1000000);
    EXPECT_EQ(options.positionLrMaxSteps, 7000);
    EXPECT_EQ(options.downscale, 2);
    EXPECT_TRUE(options.eval);
    EXPECT_EQ(options.cullRadius, 0.0);
    EXPECT_EQ(options.earlyStop, 0.05);
    EXPECT_EQ(options.maskDir, "/w/masks");
}

class RejectedCommandLine : public ::testing::TestWithParam<std::pair<Arguments, std::string>> {};

}  // namespace

TEST(TrainingOptions, ReadsTheRunnersCommandLine) { expectFull(TrainingOptions::parse(fullCommand)); }

TEST(TrainingOptions, TheRunnersLimitsThemselvesAreAccepted) {
    TrainingOptions options = TrainingOptions::parse(
        {"ds", "-n", "1000000", "-o", "o", "--cap-max", "10000000", "--cull-radius", "0", "--early-stop", "0"});
    EXPECT_EQ(options.iterations, 1000000);
    EXPECT_EQ(options.capMax, 10000000);
    EXPECT_EQ(options.cullRadius, 0.0);
    EXPECT_EQ(options.earlyStop, 0.0);
}

TEST(TrainingOptions, OptionsMayComeInAnyOrder) {
    Arguments shuffled = {"--mask-dir", "/w/masks", "--eval", "-o", "/w/out.ply", "--early-stop", "0.05",
                          "-d", "2", "--bg-color", "0", "0", "0", "/w/dataset", "--cull-radius", "0.0",
                          "--position-lr-max-steps", "7000", "--cap-max", "1000000", "-n", "7000"};
    expectFull(TrainingOptions::parse(shuffled));
}

TEST_P(RejectedCommandLine, ThrowsAUsageErrorNamingTheProblem) {
    try {
        TrainingOptions::parse(GetParam().first);
        FAIL() << "expected a usage error";
    } catch (const TrainingOptions::UsageError& error) {
        EXPECT_EQ(std::string(error.what()), GetParam().second);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RejectedCommandLine,
    ::testing::Values(
        std::make_pair(Arguments{"ds", "-n", "5", "-o", "o", "--cap-max", "9", "--fast"}, "unknown option --fast"),
        std::make_pair(Arguments{"ds", "-n", "5", "-o", "o", "--cap-max"}, "missing value for --cap-max"),
        std::make_pair(Arguments{"ds", "-n", "5", "-o", "o", "--cap-max", "9", "--bg-color", "0", "0"},
                       "missing value for --bg-color"),
        std::make_pair(Arguments{"ds", "-n", "5x", "-o", "o", "--cap-max", "9"},
                       "invalid value for -n: \"5x\" (an integer from 0 to 1000000)"),
        // A count that would never end, as the application's runner bounds it.
        std::make_pair(Arguments{"ds", "-n", "1000000000000", "-o", "o", "--cap-max", "9"},
                       "invalid value for -n: \"1000000000000\" (an integer from 0 to 1000000)"),
        std::make_pair(Arguments{"ds", "-n", "5", "-o", "o", "--cap-max", "9", "--position-lr-max-steps", "1000001"},
                       "invalid value for --position-lr-max-steps: \"1000001\" (an integer from 0 to 1000000)"),
        std::make_pair(Arguments{"ds", "-n", "5", "-o", "o", "--cap-max", "0"},
                       "invalid value for --cap-max: \"0\" (an integer from 1 to 10000000)"),
        std::make_pair(Arguments{"ds", "-n", "5", "-o", "o", "--cap-max", "10000001"},
                       "invalid value for --cap-max: \"10000001\" (an integer from 1 to 10000000)"),
        std::make_pair(Arguments{"ds", "-n", "5", "-o", "o", "--cap-max", "9", "-d", "0"},
                       "invalid value for -d: \"0\" (an integer from 1 to 2147483647)"),
        std::make_pair(Arguments{"ds", "-n", "5", "-o", "o", "--cap-max", "9", "--cull-radius", "0,5"},
                       "invalid value for --cull-radius: \"0,5\" (a number)"),
        std::make_pair(Arguments{"ds", "-n", "5", "-o", "o", "--cap-max", "9", "--early-stop", "nan"},
                       "invalid value for --early-stop: \"nan\" (a number)"),
        std::make_pair(Arguments{"ds", "-n", "5", "-o", "o", "--cap-max", "9", "--cull-radius", "-1"},
                       "invalid value for --cull-radius: \"-1\" (a number of at least 0)"),
        std::make_pair(Arguments{"ds", "-n", "5", "-o", "o", "--cap-max", "9", "--early-stop", "-0.05"},
                       "invalid value for --early-stop: \"-0.05\" (a number of at least 0)"),
        std::make_pair(Arguments{"ds", "-n", "5", "-o", "o", "--cap-max", "9", "--mask-dir", ""},
                       "invalid value for --mask-dir: an empty path"),
        // A background channel beyond 0 to 1 made losses without bound and a
        // model of NaNs.
        std::make_pair(Arguments{"ds", "-n", "5", "-o", "o", "--cap-max", "9", "--bg-color", "0", "1e30", "0"},
                       "invalid value for --bg-color: \"1e30\" (a number from 0 to 1)"),
        std::make_pair(Arguments{"ds", "-n", "5", "-o", "o", "--cap-max", "9", "--bg-color", "-0.01", "0", "0"},
                       "invalid value for --bg-color: \"-0.01\" (a number from 0 to 1)"),
        std::make_pair(Arguments{"ds", "-n", "5", "-o", "o", "--cap-max", "9", "--bg-color", "0", "1", "1.5"},
                       "invalid value for --bg-color: \"1.5\" (a number from 0 to 1)"),
        std::make_pair(Arguments{"-n", "5", "-o", "o", "--cap-max", "9"}, "missing the dataset folder"),
        std::make_pair(Arguments{"ds", "-o", "o", "--cap-max", "9"}, "missing -n <iterations>"),
        std::make_pair(Arguments{"ds", "-n", "5", "--cap-max", "9"}, "missing -o <output.ply>"),
        std::make_pair(Arguments{"ds", "-n", "5", "-o", "o"}, "missing --cap-max <count>"),
        std::make_pair(Arguments{"ds", "other", "-n", "5", "-o", "o", "--cap-max", "9"},
                       "unexpected argument \"other\" (the dataset is ds)")));

TEST(EngineSettings, ReadsTheThreadsAndTheMemoryCeilingAndRejectsBadValues) {
    std::map<std::string, std::string> environment = {
        {EngineSettings::threadsVariable, "3"},
        {EngineSettings::memoryCeilingVariable, "300"},
    };
    auto lookup = [&](const std::string& name) -> std::optional<std::string> {
        auto found = environment.find(name);
        if (found == environment.end()) return std::nullopt;
        return found->second;
    };
    EngineSettings settings = EngineSettings::read(lookup);
    EXPECT_EQ(settings.threads, 3u);
    EXPECT_EQ(settings.memoryCeilingMegabytes, 300);

    for (const char* name : {EngineSettings::threadsVariable, EngineSettings::memoryCeilingVariable}) {
        auto saved = environment[name];
        environment[name] = "-x";
        EXPECT_THROW(EngineSettings::read(lookup), TrainingOptions::UsageError) << name;
        environment[name] = saved;
    }
    for (const auto& [name, value] : environment) EXPECT_FALSE(std::string(name).starts_with("TREVIK_"));
}

TEST(TestEngineKnobs, ReadsEveryKnobAndRejectsBadValues) {
    std::map<std::string, std::string> environment = {
        {TestEngineKnobs::stepSleepVariable, "25"},      {TestEngineKnobs::memoryLimitVariable, "7.5"},
        {TestEngineKnobs::outOfMemoryModeVariable, "kill"}, {TestEngineKnobs::failDatasetVariable, "cell_2"},
        {TestEngineKnobs::truncateDatasetVariable, "cell_4"}, {TestEngineKnobs::psnrVariable, "14.99"},
        {TestEngineKnobs::seedOnlyVariable, "1"},       {TestEngineKnobs::seedPsnrVariable, "20.5"},
    };
    auto lookup = [&](const std::string& name) -> std::optional<std::string> {
        auto found = environment.find(name);
        if (found == environment.end()) return std::nullopt;
        return found->second;
    };
    TestEngineKnobs knobs = TestEngineKnobs::read(lookup);
    EXPECT_EQ(knobs.stepSleepMilliseconds, 25);
    EXPECT_EQ(knobs.memoryLimitGB, 7.5);
    EXPECT_EQ(knobs.outOfMemoryMode, TestEngineKnobs::OutOfMemoryMode::kill);
    EXPECT_EQ(knobs.failDataset, "cell_2");
    EXPECT_EQ(knobs.truncateDataset, "cell_4");
    EXPECT_EQ(knobs.psnr, 14.99);
    EXPECT_TRUE(knobs.seedOnly);
    EXPECT_EQ(knobs.seedPsnr, 20.5);

    for (const char* name : {TestEngineKnobs::stepSleepVariable, TestEngineKnobs::memoryLimitVariable,
                             TestEngineKnobs::outOfMemoryModeVariable, TestEngineKnobs::psnrVariable,
                             TestEngineKnobs::seedOnlyVariable, TestEngineKnobs::seedPsnrVariable}) {
        auto saved = environment[name];
        environment[name] = "-x";
        EXPECT_THROW(TestEngineKnobs::read(lookup), TrainingOptions::UsageError) << name;
        environment[name] = saved;
    }
    for (const auto& [name, value] : environment) EXPECT_FALSE(std::string(name).starts_with("TREVIK_"));
}
