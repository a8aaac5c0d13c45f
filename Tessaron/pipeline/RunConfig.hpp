#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/Error.hpp"

namespace tessaron::pipeline {

// The run settings saved with a workspace as run_config.json once the
// trainer's dataset is ready, so that a resume trains with the same values.
struct RunConfig {
    // The bytes are not a run configuration: not a JSON object, a key
    // missing, or a value of the wrong type.
    class DecodeError : public core::Error {
    public:
        using core::Error::Error;
    };

    static constexpr const char* fileName = "run_config.json";
    // The settings are a few dozen bytes; a larger file is not ours.
    static constexpr std::uint64_t maximumFileBytes = std::uint64_t(1) << 20;
    // A rig has a few dozen crops at most; more is not a setting of ours.
    static constexpr int64_t maximumViewsPerFrame = 1000;
    int64_t downscale = 1;  // the factor actually used (1 for 360° input)
    bool eval = false;
    int64_t capMax = 0;
    int64_t iterations = 0;
    // What a new plan of the run needs besides the above, so that a resume
    // that must plan again plans as the run did. Absent in files written
    // before they were recorded.
    std::optional<double> ramLimitGB;         // the memory limit the plan was made for
    std::optional<int64_t> viewsPerFrame;     // crops per rig frame; 0 for ordinary photos
    std::optional<bool> overridePartitionParams;  // every cell trains with the run's cap and iterations

    RunConfig() = default;
    // The four settings every file holds; the re-plan settings absent.
    RunConfig(int64_t downscale, bool eval, int64_t capMax, int64_t iterations)
        : downscale(downscale), eval(eval), capMax(capMax), iterations(iterations) {}

    bool operator==(const RunConfig&) const = default;

    // Compact JSON: {"downscale":2,"eval":true,"capMax":1000000,"iterations":30000}
    // followed by "ramLimitGB", "viewsPerFrame" and "overridePartitionParams"
    // when present.
    std::string encode() const;
    // The first four keys are required, the others optional; matched by
    // name, unknown keys ignored. A number outside its option's range
    // (engines::TrainingLimits) is refused with the key's name.
    static RunConfig decode(std::string_view json);

    // Writes run_config.json in the workspace atomically; throws the file
    // system's error.
    void save(const std::filesystem::path& workspace) const;
    // Reads run_config.json of the workspace, a regular file of at most
    // maximumFileBytes; throws core::Error naming the file and the reason.
    static RunConfig load(const std::filesystem::path& workspace);
};

}  // namespace tessaron::pipeline
