#include "support/engine/TestEngineRun.hpp"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <ostream>
#include <thread>

#include "core/NumberText.hpp"
#include "engines/MemoryEstimate.hpp"
#include "trevik/GaussianPlyWriter.hpp"

namespace tessaron::testing {

using trevik::GaussianPlyWriter;
using trevik::GaussianSeed;

TestEngineRun::TestEngineRun(trevik::TrainingOptions options, trevik::EngineSettings settings, TestEngineKnobs knobs,
                             std::ostream& out, std::ostream& err)
    : EngineRun(std::move(options), std::move(settings), out, err), knobs_(std::move(knobs)) {}

std::vector<int64_t> TestEngineRun::reportSteps(int64_t iterations) {
    std::vector<int64_t> steps;
    for (int64_t report = 1; report <= reportCount; ++report) {
        int64_t step = (iterations * report + reportCount - 1) / reportCount;  // ceiling
        if (step >= 1 && (steps.empty() || steps.back() != step)) steps.push_back(step);
    }
    return steps;
}

void TestEngineRun::announce() {
    if (!knobs_.seedOnly) return EngineRun::announce();
    out() << "trevik (Tessaron), seed-only mode: seeds one Gaussian per SfM point; no photometric optimisation"
          << std::endl;
}

bool TestEngineRun::proceedWith(const DatasetFacts& facts) {
    if (knobs_.failDataset && *knobs_.failDataset == facts.name) {
        fail("forced failure for dataset " + facts.name + " (" + TestEngineKnobs::failDatasetVariable + ")");
        return false;
    }
    if (options().maskDir && knobs_.seedOnly)
        out() << "Masks: " << options().maskDir->string() << " (not used in seed-only mode)" << std::endl;
    return withinSimulatedMemory(facts);
}

bool TestEngineRun::withinSimulatedMemory(const DatasetFacts& facts) {
    if (!knobs_.memoryLimitGB) return true;
    double need = engines::MemoryEstimate::gigabytes(facts.width, facts.height, facts.imageCount, options().capMax);
    if (need <= *knobs_.memoryLimitGB) return true;
    if (knobs_.outOfMemoryMode == TestEngineKnobs::OutOfMemoryMode::kill) {
        // What the system's out-of-memory killer does to a real engine.
        out().flush();
        err().flush();
        ::raise(SIGKILL);
    }
    err() << "error: out of memory: this model needs about " << core::fixedText(need, 1) << " GB, the limit is "
          << core::fixedText(*knobs_.memoryLimitGB, 1) << " GB (" << TestEngineKnobs::memoryLimitVariable << ")"
          << std::endl;
    return false;
}

void TestEngineRun::afterStep() {
    if (knobs_.stepSleepMilliseconds > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(knobs_.stepSleepMilliseconds));
}

void TestEngineRun::paceSeedOnly(size_t splatCount) {
    // Nothing is optimised: the loop only paces the statistics lines, and
    // the figures it prints are true of this program (splat count, time per
    // step, resident memory).
    auto sliceStart = std::chrono::steady_clock::now();
    int64_t sliceFirstStep = 1;
    int64_t step = 1;
    for (int64_t reportStep : reportSteps(options().iterations)) {
        for (; step <= reportStep; ++step) afterStep();
        auto now = std::chrono::steady_clock::now();
        double milliseconds = std::chrono::duration<double, std::milli>(now - sliceStart).count() /
                              double(reportStep - sliceFirstStep + 1);
        printStatistics(reportStep, "n/a", splatCount, milliseconds);
        sliceStart = now;
        sliceFirstStep = reportStep + 1;
    }
}

void TestEngineRun::writeTruncated(const std::vector<GaussianSeed>& seeds) {
    GaussianPlyWriter::write(outputTarget(), seeds);
    const size_t bodyBytes = seeds.size() * GaussianPlyWriter::bytesPerVertex / 2;
    std::error_code error;
    std::filesystem::resize_file(outputTarget(), GaussianPlyWriter::header(seeds.size()).size() + bodyBytes, error);
    if (error)
        throw GaussianPlyWriter::WriteError("could not truncate " + outputTarget().string() + ": " + error.message());
    err() << "warning: wrote a truncated PLY on purpose (" << TestEngineKnobs::truncateDatasetVariable << ")"
          << std::endl;
}

int TestEngineRun::optimise(const std::vector<GaussianSeed>& seeds, const colmap::COLMAPModel& model,
                            const trainer::TrainingDataset::Options& datasetOptions) {
    if (!knobs_.seedOnly) return EngineRun::optimise(seeds, model, datasetOptions);
    paceSeedOnly(seeds.size());
    if (options().eval) {
        // Seed-only mode measures nothing; the value is fixed or set by a test.
        double psnr = knobs_.psnr.value_or(30.0);
        if (knobs_.seedPsnr)
            out() << "Seed PSNR before training: " << core::fixedText(*knobs_.seedPsnr, 2) << " dB" << std::endl;
        out() << "Eval PSNR: " << core::shortestText(psnr) << " (seed-only value, not measured)" << std::endl;
        warnIfWorseThanSeeds(psnr, knobs_.seedPsnr);
    }
    if (knobs_.truncateDataset && *knobs_.truncateDataset == options().datasetName()) {
        writeTruncated(seeds);
        return 0;
    }
    writeOutput(seeds.size(), [&seeds](size_t index, float* out) { GaussianPlyWriter::vertexFloats(seeds[index], out); });
    return 0;
}

}  // namespace tessaron::testing
