// Reading and writing a large COLMAP model: 2,000 images, 1,000,000 points,
// 10 observations per point (about 370 MB on disk). Throughput is reported
// over the bytes of the three files. The files go to memory-backed /dev/shm
// when there is one, so the figures are those of our parsing and
// serialising, not of the disk's fsync; setting TMPDIR measures that folder's
// disk instead.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "colmap/COLMAPUtils.hpp"

namespace {

using namespace tessaron::colmap;

constexpr int imageCount = 2000;
constexpr int pointCount = 1000000;
constexpr int observationsPerPoint = 10;

COLMAPModel makeLargeModel() {
    COLMAPModel model;
    model.cameras[1] = CameraModel{1, 4, 4000, 3000, {3000, 3000, 2000, 1500, 0.01, -0.02, 0.001, 0.0005}};
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> coordinate(-50, 50);
    for (int index = 0; index < imageCount; ++index) {
        ImageModel& image = model.images[index + 1];
        image.imageId = index + 1;
        image.qw = 0.9;
        image.qy = 0.1;
        image.tx = coordinate(random);
        image.tz = coordinate(random);
        image.cameraId = 1;
        image.name = "frame_" + std::to_string(100000 + index) + ".jpg";
        image.points2D.reserve(size_t(pointCount) * observationsPerPoint / imageCount);
    }
    auto hint = model.points3D.end();
    for (int index = 0; index < pointCount; ++index) {
        Point3DModel point;
        point.point3D_id = uint64_t(index) + 1;
        point.x = coordinate(random);
        point.y = coordinate(random);
        point.z = coordinate(random);
        point.r = uint8_t(index);
        point.g = uint8_t(index >> 8);
        point.b = uint8_t(index >> 16);
        point.error = 0.5;
        point.track.reserve(observationsPerPoint);
        for (int seen = 0; seen < observationsPerPoint; ++seen) {
            int32_t imageId = int32_t((index * 7 + seen * 199) % imageCount) + 1;
            auto& keypoints = model.images[imageId].points2D;
            point.track.push_back({imageId, int32_t(keypoints.size())});
            keypoints.push_back({coordinate(random) + 2000, coordinate(random) + 1500, point.point3D_id});
        }
        hint = model.points3D.emplace_hint(hint, point.point3D_id, std::move(point));
    }
    return model;
}

const COLMAPModel& largeModel() {
    static const COLMAPModel model = makeLargeModel();
    return model;
}

struct ScratchFolder {
    ScratchFolder() {
        std::filesystem::path parent = std::filesystem::is_directory("/dev/shm") && !std::getenv("TMPDIR")
                                           ? std::filesystem::path("/dev/shm")
                                           : std::filesystem::temp_directory_path();
        std::string pattern = (parent / "tessaron-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::filesystem::path path;
};

int64_t modelBytes(const std::filesystem::path& folder) {
    int64_t total = 0;
    for (const char* name : {"cameras.bin", "images.bin", "points3D.bin"})
        total += int64_t(std::filesystem::file_size(folder / name));
    return total;
}

void writeModel(benchmark::State& state) {
    const COLMAPModel& model = largeModel();
    ScratchFolder scratch;
    for (auto _ : state) COLMAPUtils::writeModel(model, scratch.path / "sparse/0");
    state.SetBytesProcessed(state.iterations() * modelBytes(scratch.path / "sparse/0"));
}

void readModel(benchmark::State& state) {
    ScratchFolder scratch;
    COLMAPUtils::writeModel(largeModel(), scratch.path / "sparse/0");
    for (auto _ : state) {
        COLMAPModel model = COLMAPUtils::readModel(scratch.path / "sparse/0");
        benchmark::DoNotOptimize(model.points3D.size());
        // Freeing the maps is the caller's cost, not the read's.
        state.PauseTiming();
        model = COLMAPModel{};
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * modelBytes(scratch.path / "sparse/0"));
}

}  // namespace

BENCHMARK(writeModel)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(readModel)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
