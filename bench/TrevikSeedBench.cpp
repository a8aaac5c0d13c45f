// Seeding of the training engine: nearest-neighbour scales and SH
// colours for a model of a million SfM points (target: under 3 s).
#include <benchmark/benchmark.h>

#include <random>

#include "trevik/GaussianSeeder.hpp"

using tessaron::trevik::GaussianSeeder;
using tessaron::trevik::SeedPoint;

namespace {

// Points on a few noisy surfaces plus scattered outliers, the shape of an
// SfM cloud: dense where the scene is, sparse and far elsewhere.
const std::vector<SeedPoint>& sfmLikeCloud(size_t count) {
    static std::vector<SeedPoint> points;
    if (points.size() == count) return points;
    points.clear();
    points.reserve(count);
    std::mt19937_64 generator(42);
    std::uniform_real_distribution<double> unit(0, 1);
    std::normal_distribution<double> noise(0, 0.02);
    std::uniform_int_distribution<int> colour(0, 255);
    for (size_t index = 0; index < count; ++index) {
        double u = unit(generator) * 20 - 10, v = unit(generator) * 20 - 10;
        SeedPoint point;
        switch (index % 4) {
            case 0: point.position = {u, noise(generator), v}; break;           // ground
            case 1: point.position = {u, v + 10, 10 + noise(generator)}; break;  // wall
            case 2: point.position = {std::sin(u) * 3 + noise(generator), v, std::cos(u) * 3}; break;
            default: point.position = {u * 20, v * 20, unit(generator) * 200 - 100}; break;  // outliers
        }
        point.r = uint8_t(colour(generator));
        point.g = uint8_t(colour(generator));
        point.b = uint8_t(colour(generator));
        points.push_back(point);
    }
    return points;
}

void SeedGaussians(benchmark::State& state) {
    const std::vector<SeedPoint>& points = sfmLikeCloud(size_t(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(GaussianSeeder::seed(points));
    state.SetItemsProcessed(int64_t(state.iterations()) * state.range(0));
}

}  // namespace

BENCHMARK(SeedGaussians)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
