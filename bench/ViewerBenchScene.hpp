#pragma once

// What both viewer benchmarks share: the model they show (a binary degree-0
// PLY of splats spread like a trained scene's) and their main().

#include <QApplication>
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <filesystem>
#include <random>
#include <vector>

#include "SplatFormats/SplatPLYSceneWriter.hpp"

namespace tessaron::viewer::bench {

// `count` splats in a normal cloud of standard deviation `spread`.
inline void writeViewerBenchScene(const std::filesystem::path& file, std::int64_t count, float spread) {
    using splatformats::SplatPoint;
    std::mt19937 generator(3);
    std::normal_distribution<float> position(0, spread);
    std::uniform_int_distribution<int> channel(0, 255);
    std::vector<SplatPoint> points;
    points.reserve(std::size_t(count));
    for (std::int64_t i = 0; i < count; ++i)
        points.emplace_back(
            splatformats::Vector3{position(generator), position(generator), position(generator)},
            SplatPoint::Color::sRGBUInt8({std::uint8_t(channel(generator)), std::uint8_t(channel(generator)), 90}),
            SplatPoint::Opacity::linearUInt8(200), SplatPoint::Scale::linearFloat({0.03f, 0.05f, 0.02f}),
            splatformats::Quaternion{0.1f, 0.2f, 0.3f, 0.9f});
    splatformats::SplatPLYSceneWriter writer(file);
    writer.start(0, true, count);
    writer.write(points);
    writer.close();
}

// Runs the benchmarks named on the command line. Listing them needs no
// display; everything else needs an X server for the viewer.
inline int runViewerBenchmarks(int argc, char** argv) {
    bool listingOnly = false;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--benchmark_list_tests", 22) == 0) listingOnly = true;
    benchmark::Initialize(&argc, argv);
    std::unique_ptr<QApplication> application;
    if (!listingOnly) application = std::make_unique<QApplication>(argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

}  // namespace tessaron::viewer::bench
