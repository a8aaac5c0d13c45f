// One training step of the CPU optimiser (render, L1 + SSIM loss, backward
// pass, Adam) at 320 x 240 with 50,000 Gaussians, on 1 to 8 threads.
// Target: at most 10 ms per step on 8 cores, scaling near-linearly. The CPU
// column is the whole process's: with linear scaling it stays flat while the
// real time falls, whatever else the machine runs.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <random>

#include "TrainerBenchScene.hpp"
#include "Trainer/Rasterizer.hpp"
#include "Trainer/Trainer.hpp"

using namespace tessaron::trainer;
using namespace tessaron::trainer::bench;
using tessaron::core::ThreadPool;

namespace {

struct Fixture {
    TrainingDataset dataset;
    std::unique_ptr<Trainer> trainer;

    explicit Fixture(unsigned threads, size_t gaussians) {
        dataset = benchDataset(threads, gaussians);
        TrainingSettings settings;
        settings.threads = threads;
        settings.densifyUntil = 0;  // a steady model: the step alone is measured
        trainer = std::make_unique<Trainer>(dataset, sceneGaussians(gaussians), settings);
    }
};

void BM_TrainingStep(benchmark::State& state) {
    Fixture fixture(unsigned(state.range(0)), size_t(state.range(1)));
    fixture.trainer->step(0);  // buffers reach their size
    for (auto _ : state) benchmark::DoNotOptimize(fixture.trainer->step(0));
    state.counters["threads"] = double(state.range(0));
}
BENCHMARK(BM_TrainingStep)
    ->ArgsProduct({{1, 2, 4, 8}, {50000}})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

void BM_Render(benchmark::State& state) {
    ThreadPool pool(unsigned(state.range(0)));
    Rasterizer rasterizer(pool);
    GaussianModel model = sceneGaussians(size_t(state.range(1)));
    std::vector<float> image;
    ViewCamera camera = benchCamera();
    for (auto _ : state) {
        rasterizer.forward(model, camera, 3, Vec3{0, 0, 0}, image);
        benchmark::DoNotOptimize(image.data());
    }
    state.counters["entries"] = double(rasterizer.entryCount());
}
BENCHMARK(BM_Render)
    ->ArgsProduct({{1, 8}, {50000}})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
