#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "trevik/GaussianSeeder.hpp"
#include "trevik/TrainingOptions.hpp"

namespace tessaron::trevik {

// One run of the stand-in engine: reads <dataset>/sparse/0, checks the
// images, seeds one Gaussian per SfM point (subsampled to half the cap when
// the points fill more than 75% of it), prints statistics lines across the
// steps, and writes the PLY. Statistics go to `out`, problems to `err`.
class StandInTrainer {
public:
    // Statistics lines printed over a run (fewer when there are fewer steps).
    static constexpr int64_t reportCount = 10;

    StandInTrainer(TrainingOptions options, StandInKnobs knobs, std::ostream& out, std::ostream& err);

    // The process's exit status: 0 once the PLY is complete, 1 on failure.
    // In the simulated out-of-memory kill mode the process kills itself.
    int run();

    // The steps after which a statistics line is printed: about ten, evenly
    // spread, the last one `iterations`.
    static std::vector<int64_t> reportSteps(int64_t iterations);

    // "1,204,332".
    static std::string groupedDecimal(uint64_t value);

private:
    int fail(const std::string& message);
    bool withinSimulatedMemory(int64_t width, int64_t height, int64_t imageCount);
    void echoDiagnostics();
    void train(size_t splatCount);
    void writeOutput(const std::vector<GaussianSeed>& seeds);

    TrainingOptions options_;
    StandInKnobs knobs_;
    std::ostream& out_;
    std::ostream& err_;
};

}  // namespace tessaron::trevik
