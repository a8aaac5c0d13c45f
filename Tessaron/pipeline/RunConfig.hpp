#pragma once

#include <cstdint>
#include <filesystem>
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

    int64_t downscale = 1;  // the factor actually used (1 for 360° input)
    bool eval = false;
    int64_t capMax = 0;
    int64_t iterations = 0;

    bool operator==(const RunConfig&) const = default;

    // Compact JSON: {"downscale":2,"eval":true,"capMax":1000000,"iterations":30000}.
    std::string encode() const;
    // All four keys are required, matched by name; others are ignored.
    static RunConfig decode(std::string_view json);

    // Writes run_config.json in the workspace atomically; throws the file
    // system's error.
    void save(const std::filesystem::path& workspace) const;
    // Reads run_config.json of the workspace; throws core::Error.
    static RunConfig load(const std::filesystem::path& workspace);
};

}  // namespace tessaron::pipeline
