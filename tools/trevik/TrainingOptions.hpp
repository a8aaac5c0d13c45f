#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/Error.hpp"

namespace tessaron::trevik {

// The engine's command line:
//   trevik <dataset> -n <iterations> -o <output.ply> --cap-max <count>
//          [--bg-color <r> <g> <b>] [--position-lr-max-steps <steps>] [-d <factor>]
//          [--eval] [--cull-radius <radius>] [--early-stop <threshold>] [--mask-dir <folder>]
// Options may come in any order; the dataset is the one bare argument.
struct TrainingOptions {
    // Wrong command line: the message goes to stderr with the usage, exit 2.
    class UsageError : public core::Error {
    public:
        using core::Error::Error;
    };

    std::filesystem::path dataset;
    int64_t iterations = 0;
    std::filesystem::path output;
    int64_t capMax = 0;
    std::array<double, 3> backgroundColor{0, 0, 0};
    std::optional<int64_t> positionLrMaxSteps;
    int64_t downscale = 1;
    bool eval = false;
    std::optional<double> cullRadius;
    std::optional<double> earlyStop;
    std::optional<std::filesystem::path> maskDir;

    static TrainingOptions parse(const std::vector<std::string>& arguments);
    static std::string usage();

    // The dataset folder's own name ("cell_3" for ".../partitions/cell_3/").
    std::string datasetName() const;
};

// Behaviour that tests switch on through the environment. The names never
// begin with "TREVIK_": the application strips those from the engine's
// environment.
struct StandInKnobs {
    static constexpr const char* stepSleepVariable = "TESSARON_STANDIN_STEP_SLEEP_MS";
    static constexpr const char* memoryLimitVariable = "TESSARON_STANDIN_MEMORY_LIMIT_GB";
    static constexpr const char* outOfMemoryModeVariable = "TESSARON_STANDIN_OOM_MODE";
    static constexpr const char* failDatasetVariable = "TESSARON_STANDIN_FAIL_DATASET";
    static constexpr const char* truncateDatasetVariable = "TESSARON_STANDIN_TRUNCATE_DATASET";
    static constexpr const char* psnrVariable = "TESSARON_STANDIN_PSNR";
    // "1": write the seeds without optimising them (fast runs for tests of
    // the callers; the images need not even be decodable).
    static constexpr const char* seedOnlyVariable = "TESSARON_STANDIN_SEED_ONLY";
    // Worker threads of the optimiser; absent or 0: one per core.
    static constexpr const char* threadsVariable = "TESSARON_ENGINE_THREADS";
    // A real ceiling on the engine's own memory, in MB: the run limits its
    // private writable memory (RLIMIT_DATA) to it, so that a dataset too big
    // for it fails to allocate as it would on a smaller computer.
    static constexpr const char* memoryCeilingVariable = "TESSARON_ENGINE_MEMORY_LIMIT_MB";

    // How a run over the simulated memory limit ends.
    enum class OutOfMemoryMode { message, kill };

    int64_t stepSleepMilliseconds = 0;
    std::optional<double> memoryLimitGB;
    OutOfMemoryMode outOfMemoryMode = OutOfMemoryMode::message;
    std::optional<std::string> failDataset;
    std::optional<std::string> truncateDataset;
    std::optional<double> psnr;
    bool seedOnly = false;
    unsigned threads = 0;
    std::optional<int64_t> memoryCeilingMegabytes;

    // `lookup` returns a variable's value or nothing; throws
    // TrainingOptions::UsageError naming the variable for a bad value.
    static StandInKnobs read(const std::function<std::optional<std::string>(const std::string&)>& lookup);
    static StandInKnobs fromEnvironment();
};

}  // namespace tessaron::trevik
