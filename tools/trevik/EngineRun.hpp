#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
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
class EngineRun {
public:
    // A short training run prints at least this many statistics lines
    // (fewer when there are fewer steps).
    static constexpr int64_t reportCount = 10;
    // A long training run prints a statistics line every this many steps.
    static constexpr int64_t reportInterval = 100;
    // Opacity of a seeded Gaussian when training starts.
    static constexpr float initialOpacity = 0.1f;

    EngineRun(TrainingOptions options, EngineSettings settings, std::ostream& out, std::ostream& err);
    virtual ~EngineRun() = default;
    EngineRun(const EngineRun&) = delete;
    EngineRun& operator=(const EngineRun&) = delete;

    // The process's exit status: 0 once the PLY is complete, 1 on failure.
    int run();

    // Whether a training run of `iterations` steps prints a line after `step`.
    static bool reportsAfter(int64_t step, int64_t iterations);

    // "1,204,332".
    static std::string groupedDecimal(uint64_t value);

    // The trainable model of the seeds: position, isotropic scale, no
    // rotation, initialOpacity, the colour as the degree-0 coefficient.
    static trainer::GaussianModel initialModel(const std::vector<GaussianSeed>& seeds);

    // What the run knows of the dataset once its model and photos are read.
    struct DatasetFacts {
        std::string name;  // the dataset folder's own name
        int64_t width = 0, height = 0;  // the largest camera, downscaled
        int64_t imageCount = 0;
    };

protected:
    // The points at which a test build of the engine adds its own behaviour;
    // here they do only what the engine itself does.

    // Prints the first line of the run.
    virtual void announce();
    // Called once the dataset is read and described; false ends the run with
    // status 1 (the override has printed why).
    virtual bool proceedWith(const DatasetFacts& facts);
    // Turns the seeds into the written model: trains them and writes the PLY.
    // Returns the exit status; GaussianPlyWriter::WriteError fails the run.
    virtual int optimise(const std::vector<GaussianSeed>& seeds, const colmap::COLMAPModel& model,
                         const trainer::TrainingDataset::Options& datasetOptions);
    // Called after each training step.
    virtual void afterStep() {}

    int fail(const std::string& message);
    // The warning line for a held-out PSNR that training left below the
    // seeds' (TrevikRunner::qualityFellWarning and both values); nothing
    // otherwise.
    void warnIfWorseThanSeeds(double psnr, std::optional<double> seedPsnr);
    void printStatistics(int64_t step, const std::string& loss, size_t splats, double milliseconds);
    // Writes `count` Gaussians to the output through a temporary that a
    // terminating signal removes, and reports them saved. No Gaussians:
    // GaussianPlyWriter::WriteError, and nothing is written.
    void writeOutput(size_t count, const GaussianPlyWriter::RecordSource& source);

    const TrainingOptions& options() const { return options_; }
    // Where the PLY goes: the output, or the file its symbolic link names.
    const std::filesystem::path& outputTarget() const { return output_; }
    std::ostream& out() { return out_; }
    std::ostream& err() { return err_; }

private:
    int runSteps();
    // Limits this process's private writable memory; false (with the error
    // printed) when the system refuses.
    bool applyMemoryCeiling(int64_t megabytes);
    void echoDiagnostics();
    int train(const std::vector<GaussianSeed>& seeds, const colmap::COLMAPModel& model,
              const trainer::TrainingDataset::Options& datasetOptions);

    TrainingOptions options_;
    std::filesystem::path output_;
    EngineSettings settings_;
    std::ostream& out_;
    std::ostream& err_;
};

}  // namespace tessaron::trevik
