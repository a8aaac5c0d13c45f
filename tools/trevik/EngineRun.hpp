#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "Trainer/GaussianModel.hpp"
#include "Trainer/TrainingDataset.hpp"
#include "trevik/GaussianPlyWriter.hpp"
#include "trevik/GaussianSeeder.hpp"
#include "trevik/TrainingOptions.hpp"

namespace tessaron::trevik {

// One run of the engine: reads <dataset>/sparse/0, checks the images, seeds
// one Gaussian per SfM point (subsampled to half the cap when the points
// fill more than 75% of it), optimises them against the photos and writes
// the PLY. Statistics go to `out`, problems to `err`.
//
// In seed-only mode (a knob, for fast tests of the callers) nothing is
// optimised: the seeds are written as they are, after statistics lines that
// pace a run of the asked length without training.
class EngineRun {
public:
    // Statistics lines printed over a seed-only run, and at least over a
    // short training run (fewer when there are fewer steps).
    static constexpr int64_t reportCount = 10;
    // A long training run prints a statistics line every this many steps.
    static constexpr int64_t reportInterval = 100;
    // Opacity of a seeded Gaussian when training starts.
    static constexpr float initialOpacity = 0.1f;

    EngineRun(TrainingOptions options, StandInKnobs knobs, std::ostream& out, std::ostream& err);

    // The process's exit status: 0 once the PLY is complete, 1 on failure.
    // In the simulated out-of-memory kill mode the process kills itself.
    int run();

    // The steps after which a seed-only run prints a statistics line: about
    // ten, evenly spread, the last one `iterations`.
    static std::vector<int64_t> reportSteps(int64_t iterations);
    // Whether a training run of `iterations` steps prints a line after `step`.
    static bool reportsAfter(int64_t step, int64_t iterations);

    // "1,204,332".
    static std::string groupedDecimal(uint64_t value);

    // The trainable model of the seeds: position, isotropic scale, no
    // rotation, initialOpacity, the colour as the degree-0 coefficient.
    static trainer::GaussianModel initialModel(const std::vector<GaussianSeed>& seeds);

private:
    int runSteps();
    int fail(const std::string& message);
    bool withinSimulatedMemory(int64_t width, int64_t height, int64_t imageCount);
    // Limits this process's private writable memory; false (with the error
    // printed) when the system refuses.
    bool applyMemoryCeiling(int64_t megabytes);
    void echoDiagnostics();
    void paceSeedOnly(size_t splatCount);
    void printStatistics(int64_t step, const std::string& loss, size_t splats, double milliseconds);
    int train(const std::vector<GaussianSeed>& seeds, const colmap::COLMAPModel& model,
              const trainer::TrainingDataset::Options& datasetOptions);
    void writeOutput(size_t count, const GaussianPlyWriter::RecordSource& source,
                     const std::vector<GaussianSeed>* seeds);

    TrainingOptions options_;
    // Where the PLY goes: the output, or the file its symbolic link names.
    std::filesystem::path output_;
    StandInKnobs knobs_;
    std::ostream& out_;
    std::ostream& err_;
};

}  // namespace tessaron::trevik
