#pragma once

#include <cstdint>
#include <iosfwd>
#include <vector>

#include "support/engine/TestEngineKnobs.hpp"
#include "trevik/EngineRun.hpp"

namespace tessaron::testing {

// The engine's run with the tests' knobs: a seed-only mode that writes the
// seeds untrained after statistics lines that pace a run of the asked
// length, sleeps between steps, a simulated memory limit, a forced failure
// and a deliberately truncated PLY for a named dataset. With no knob set it
// is the engine's own run.
class TestEngineRun : public trevik::EngineRun {
public:
    TestEngineRun(trevik::TrainingOptions options, trevik::EngineSettings settings, TestEngineKnobs knobs,
                  std::ostream& out, std::ostream& err);

    // The steps after which a seed-only run prints a statistics line: about
    // ten, evenly spread, the last one `iterations`.
    static std::vector<int64_t> reportSteps(int64_t iterations);

protected:
    void announce() override;
    bool proceedWith(const DatasetFacts& facts) override;
    int optimise(const std::vector<trevik::GaussianSeed>& seeds, const colmap::COLMAPModel& model,
                 const trainer::TrainingDataset::Options& datasetOptions) override;
    void afterStep() override;

private:
    bool withinSimulatedMemory(const DatasetFacts& facts);
    void paceSeedOnly(size_t splatCount);
    // The header and half the body of the seeds' PLY: a file the callers'
    // checks must refuse.
    void writeTruncated(const std::vector<trevik::GaussianSeed>& seeds);

    TestEngineKnobs knobs_;
};

}  // namespace tessaron::testing
