#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "trevik/TrainingOptions.hpp"

namespace tessaron::testing {

// What the tests' build of the engine does beyond the engine itself,
// switched on through the environment. The names never begin with
// "TREVIK_": the application strips those from the engine's environment.
struct TestEngineKnobs {
    // "1": write the seeds without optimising them (fast runs for tests of
    // the callers; the images need not even be decodable).
    static constexpr const char* seedOnlyVariable = "TESSARON_TEST_ENGINE_SEED_ONLY";
    // A sleep after every step, so that a test can act while the engine runs.
    static constexpr const char* stepSleepVariable = "TESSARON_TEST_ENGINE_STEP_SLEEP_MS";
    // A simulated memory limit: a dataset whose estimate exceeds it fails as
    // out of memory, the way the out-of-memory mode says.
    static constexpr const char* memoryLimitVariable = "TESSARON_TEST_ENGINE_MEMORY_LIMIT_GB";
    static constexpr const char* outOfMemoryModeVariable = "TESSARON_TEST_ENGINE_OOM_MODE";
    // The dataset (folder name) whose run fails, or whose PLY is cut short.
    static constexpr const char* failDatasetVariable = "TESSARON_TEST_ENGINE_FAIL_DATASET";
    static constexpr const char* truncateDatasetVariable = "TESSARON_TEST_ENGINE_TRUNCATE_DATASET";
    // The PSNR a seed-only run with evaluation reports.
    static constexpr const char* psnrVariable = "TESSARON_TEST_ENGINE_PSNR";
    // The seeds' PSNR it reports before that; the engine's warning follows
    // when the PSNR above is lower.
    static constexpr const char* seedPsnrVariable = "TESSARON_TEST_ENGINE_SEED_PSNR";

    // How a run over the simulated memory limit ends: an out-of-memory
    // message and exit 1, or killed as the system's out-of-memory killer does.
    enum class OutOfMemoryMode { message, kill };

    bool seedOnly = false;
    int64_t stepSleepMilliseconds = 0;
    std::optional<double> memoryLimitGB;
    OutOfMemoryMode outOfMemoryMode = OutOfMemoryMode::message;
    std::optional<std::string> failDataset;
    std::optional<std::string> truncateDataset;
    std::optional<double> psnr;
    std::optional<double> seedPsnr;

    // Throws TrainingOptions::UsageError naming the variable for a bad value.
    static TestEngineKnobs read(const trevik::EngineSettings::Lookup& lookup);
};

}  // namespace tessaron::testing
