#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace tessaron::engines {

// The one range of each numeric training setting. The runner, the engine,
// run_config.json, the resumes, the harness and the window all check against
// these, so that a value one of them takes is never refused by the next one
// after COLMAP has run for minutes.
struct TrainingLimits {
    struct Range {
        int64_t minimum;
        int64_t maximum;

        constexpr bool contains(int64_t value) const { return value >= minimum && value <= maximum; }
        // "must be at least 1 (is 0)" or "must be at most 1000000 (is
        // 2000000)"; none in range.
        std::optional<std::string> refusal(int64_t value) const {
            const std::string is = " (is " + std::to_string(value) + ")";
            if (value < minimum) return "must be at least " + std::to_string(minimum) + is;
            if (value > maximum) return "must be at most " + std::to_string(maximum) + is;
            return std::nullopt;
        }
    };

    // A million steps is days of training on the CPU; a larger count is a
    // mistake, not a run that will end.
    static constexpr Range iterations{1, 1000000};
    // The engine takes the factor as an int; whether the photos stay large
    // enough to train on depends on them, and the engine says so.
    static constexpr Range downscale{1, std::numeric_limits<int>::max()};
    // The most Gaussians the engine grows.
    static constexpr Range capMax{1, 10000000};
};

}  // namespace tessaron::engines
