// Training under a binding Gaussian cap: the generated textured room with
// surroundings (24 photos, real COLMAP, half size, held-out photos) trained
// as the engine trains it, unbound and with caps of 5 %, 20 % and 50 % of the
// count the unbound 7,000-step run reaches. Each run reports the held-out
// PSNR just before the first opacity reset and at its end, its Gaussians, its
// seconds, and the largest fall of the count in one densification pass.
// Targets of the capped runs: the end within 0.5 dB of the PSNR before the
// reset or above it, always above the seeds'; no pass takes more than a
// quarter of the cap. A run that misses one reports an error.
//
// The runs take minutes to hours, so nothing is trained unless
// TESSARON_CAP_QUALITY is set. TESSARON_CAP_QUALITY_DATASET names a folder
// that keeps the COLMAP dataset between runs (else a temporary one);
// TESSARON_CAP_QUALITY_UNBOUND gives the unbound count, so that capped runs
// can go in processes of their own (else the unbound 7,000-step run measures
// it first); TESSARON_ENGINE_THREADS the threads of each run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "Trainer/Trainer.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "colmap/CellNormTransform.hpp"
#include "engines/COLMAPRunner.hpp"
#include "generators/SyntheticScene.hpp"
#include "trevik/EngineRun.hpp"
#include "trevik/GaussianSeeder.hpp"
#include "trevik/TrainingOptions.hpp"

namespace fs = std::filesystem;
using namespace tessaron;

namespace {

constexpr int64_t unboundCap = 10000000;  // the most the driver ever passes
constexpr int downscale = 2;               // the driver's choice for 640 x 480 photos

bool enabled() {
    const char* text = std::getenv("TESSARON_CAP_QUALITY");
    return text && *text && std::string(text) != "0";
}

std::optional<int64_t> numberVariable(const char* name) {
    const char* text = std::getenv(name);
    if (!text || !*text) return std::nullopt;
    char* end = nullptr;
    long long value = std::strtoll(text, &end, 10);
    if (*end != '\0' || value < 1) return std::nullopt;
    return value;
}

// The photos and their COLMAP model: <folder>/images and <folder>/sparse/0.
class SceneDataset {
public:
    SceneDataset() {
        if (const char* kept = std::getenv("TESSARON_CAP_QUALITY_DATASET"); kept && *kept) {
            folder_ = kept;
        } else {
            folder_ = fs::temp_directory_path() / ("capped-training-" + std::to_string(::getpid()));
            temporary_ = true;
        }
        if (fs::exists(folder_ / "sparse" / "0" / "points3D.bin")) return;
        generators::SceneOptions scene;
        scene.surroundings = true;
        generators::renderScene(folder_ / "images", 24, scene);
        engines::COLMAPRunner colmap;
        colmap.onLog = [](const std::string&) {};
        engines::COLMAPRunner::Options options;
        options.imagePath = (folder_ / "images").string();
        options.outputPath = folder_.string();
        options.useGPU = false;
        colmap.run(options);
    }
    ~SceneDataset() {
        std::error_code ignored;  // a temporary folder that cannot go is left to the system
        if (temporary_) fs::remove_all(folder_, ignored);
    }
    SceneDataset(const SceneDataset&) = delete;
    SceneDataset& operator=(const SceneDataset&) = delete;

    const fs::path& folder() const { return folder_; }

private:
    fs::path folder_;
    bool temporary_ = false;
};

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

struct RunResult {
    int percent = 0;  // of the unbound count; 0 for the unbound run
    int64_t cap = 0, steps = 0;
    double seedPsnr = 0, psnrBeforeReset = 0, psnr = 0, seconds = 0;
    size_t gaussians = 0, gaussiansBeforeReset = 0, largestFall = 0;
};

std::vector<RunResult>& results() {
    static std::vector<RunResult> all;
    return all;
}

// One engine run: seeded and trained as trevik does it.
RunResult train(const SceneDataset& scene, int64_t cap, int64_t steps) {
    const fs::path model = scene.folder() / "sparse" / "0";
    colmap::COLMAPModel reconstruction = colmap::COLMAPUtils::readModel(model);
    auto frame = colmap::CellNormTransform::estimate(model);
    if (!frame) throw std::runtime_error("no camera frame in " + model.string());
    std::vector<trevik::SeedPoint> points;
    for (const auto& [id, point] : reconstruction.points3D)
        points.push_back(trevik::SeedPoint{{(point.x - frame->translation.x) * frame->scale,
                                            (point.y - frame->translation.y) * frame->scale,
                                            (point.z - frame->translation.z) * frame->scale},
                                           point.r, point.g, point.b});
    if (trevik::GaussianSeeder::needsSubsample(points.size(), cap)) {
        std::vector<trevik::SeedPoint> kept;
        for (size_t index : trevik::GaussianSeeder::subsampleIndices(points.size(), size_t(cap / 2)))
            kept.push_back(points[index]);
        points = std::move(kept);
    }
    trainer::TrainingDataset::Options options;
    options.imagesFolder = scene.folder() / "images";
    options.downscale = downscale;
    options.holdOut = true;
    options.frameTranslation = {float(frame->translation.x), float(frame->translation.y),
                                float(frame->translation.z)};
    options.frameScale = float(frame->scale);
    trainer::TrainingDataset dataset = trainer::TrainingDataset::load(reconstruction, options);

    trainer::TrainingSettings settings;
    settings.iterations = steps;
    settings.positionLrMaxSteps = steps;
    settings.capMax = cap;
    settings.threads = unsigned(numberVariable(trevik::EngineSettings::threadsVariable).value_or(0));
    trainer::Trainer trainer(dataset, trevik::EngineRun::initialModel(trevik::GaussianSeeder::seed(points)),
                             settings);

    RunResult result;
    result.cap = cap;
    result.steps = steps;
    result.seedPsnr = *trainer.evaluationPsnr();
    size_t previous = trainer.model().size();
    double evaluating = 0;
    auto start = std::chrono::steady_clock::now();
    trainer.train([&](const trainer::Trainer::StepReport& report) {
        if (report.splats < previous) result.largestFall = std::max(result.largestFall, previous - report.splats);
        previous = report.splats;
        if (report.step % 1000 == 0)
            std::cerr << "[cap " << cap << "] step " << report.step << ": " << report.splats << " Gaussians, "
                      << fixed(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 0)
                      << " s" << std::endl;
        // The reset comes at the end of its step, so the step before it is
        // the last of the first stretch.
        if (report.step == settings.opacityResetInterval - 1) {
            auto before = std::chrono::steady_clock::now();
            result.psnrBeforeReset = *trainer.evaluationPsnr();
            result.gaussiansBeforeReset = report.splats;
            evaluating += std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
        }
    });
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() - evaluating;
    result.psnr = *trainer.evaluationPsnr();
    result.gaussians = trainer.model().size();
    return result;
}

SceneDataset& scene() {
    static SceneDataset dataset;
    return dataset;
}

// The count the unbound 7,000-step run reaches.
int64_t unboundCount() {
    if (auto given = numberVariable("TESSARON_CAP_QUALITY_UNBOUND")) return *given;
    for (const RunResult& result : results())
        if (result.percent == 0 && result.steps == 7000) return int64_t(result.gaussians);
    RunResult unbound = train(scene(), unboundCap, 7000);
    results().push_back(unbound);
    return int64_t(unbound.gaussians);
}

void CappedTraining(benchmark::State& state) {
    if (!enabled()) {
        state.SkipWithError("not run: set TESSARON_CAP_QUALITY=1 to train (minutes to hours)");
        return;
    }
    const int percent = int(state.range(0));
    const int64_t steps = state.range(1);
    for (auto _ : state) {
        int64_t cap = percent == 0 ? unboundCap : std::max<int64_t>(1, unboundCount() * percent / 100);
        // The unbound 7,000-step run may have been measured for the caps.
        auto earlier = std::find_if(results().begin(), results().end(), [&](const RunResult& run) {
            return run.percent == percent && run.steps == steps;
        });
        if (earlier == results().end()) {
            RunResult run = train(scene(), cap, steps);
            run.percent = percent;
            results().push_back(run);
            earlier = results().end() - 1;
        }
        const RunResult result = *earlier;
        state.counters["psnr_seeds"] = result.seedPsnr;
        state.counters["psnr_before_reset"] = result.psnrBeforeReset;
        state.counters["psnr"] = result.psnr;
        state.counters["gaussians"] = double(result.gaussians);
        state.counters["largest_fall"] = double(result.largestFall);
        state.counters["train_seconds"] = result.seconds;
        // The targets are the capped runs'; the unbound row is there to
        // compare with.
        if (percent == 0) continue;
        if (result.psnr < result.psnrBeforeReset - 0.5 || result.psnr <= result.seedPsnr)
            state.SkipWithError("the held-out PSNR fell below its target");
        else if (int64_t(result.largestFall) > cap / 4)
            state.SkipWithError("one densification pass took more than a quarter of the cap");
    }
}

void printTable() {
    if (results().empty()) return;
    std::cout << "\n| cap | steps | seeds dB | before reset dB (Gaussians) | end dB | Gaussians | largest fall | seconds |\n"
              << "|---|---|---|---|---|---|---|---|\n";
    for (const RunResult& r : results()) {
        std::string cap = r.percent == 0 ? "unbound" : std::to_string(r.cap) + " (" + std::to_string(r.percent) + " %)";
        std::cout << "| " << cap << " | " << r.steps << " | " << fixed(r.seedPsnr, 2) << " | "
                  << fixed(r.psnrBeforeReset, 2) << " (" << r.gaussiansBeforeReset << ") | " << fixed(r.psnr, 2)
                  << " | " << r.gaussians << " | " << r.largestFall << " | " << fixed(r.seconds, 0) << " |\n";
    }
    std::cout << std::flush;
}

}  // namespace

// Percent of the unbound count (0: unbound), then steps.
BENCHMARK(CappedTraining)
    ->ArgsProduct({{0, 5, 20, 50}, {7000, 30000}})
    ->ArgNames({"percent", "steps"})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    printTable();
    benchmark::Shutdown();
    return 0;
}
