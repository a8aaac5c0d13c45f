#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/Error.hpp"
#include "engines/TrainingLimits.hpp"

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

    // The bounds the application keeps to (engines::TrainingLimits): no run
    // of more steps (it would never end), no larger cap.
    static constexpr int64_t iterationLimit = engines::TrainingLimits::iterations.maximum;
    static constexpr int64_t capLimit = engines::TrainingLimits::capMax.maximum;
    // A downscale that leaves a photo smaller than this on a side is
    // refused: nothing is left to train on.
    static constexpr int64_t smallestImageSide = 8;

    // Checks each value as it reads it; a mask folder that does not exist is
    // refused when the run starts.
    static TrainingOptions parse(const std::vector<std::string>& arguments);
    static std::string usage();

    // The value of `name` read as an integer from `minimum` to `maximum`
    // (without one: of at least `minimum`), as a finite number, or as a
    // finite number of at least 0; UsageError naming `name` and the value
    // otherwise.
    static int64_t integerValue(const std::string& name, const std::string& text, int64_t minimum,
                                std::optional<int64_t> maximum = std::nullopt);
    static double numberValue(const std::string& name, const std::string& text);
    static double nonNegativeValue(const std::string& name, const std::string& text);

    // The dataset folder's own name ("cell_3" for ".../partitions/cell_3/").
    std::string datasetName() const;
};

// Settings of a run that come from the environment. The names never begin
// with "TREVIK_": the application strips those from the engine's environment.
struct EngineSettings {
    // Worker threads of the optimiser; absent or 0: one per core.
    static constexpr const char* threadsVariable = "TESSARON_ENGINE_THREADS";
    // A real ceiling on the engine's own memory, in MB: the run limits its
    // private writable memory (RLIMIT_DATA) to it, so that a dataset too big
    // for it fails to allocate as it would on a smaller computer.
    static constexpr const char* memoryCeilingVariable = "TESSARON_ENGINE_MEMORY_LIMIT_MB";

    unsigned threads = 0;
    std::optional<int64_t> memoryCeilingMegabytes;

    // A variable's value, or nothing when it is not set.
    using Lookup = std::function<std::optional<std::string>(const std::string&)>;

    // Throws TrainingOptions::UsageError naming the variable for a bad value.
    static EngineSettings read(const Lookup& lookup);
    static EngineSettings fromEnvironment();
    // Looks the names up in this process's environment.
    static std::optional<std::string> environmentValue(const std::string& name);
};

}  // namespace tessaron::trevik
