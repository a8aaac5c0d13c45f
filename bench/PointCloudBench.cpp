// The 3D views' costs for a COLMAP model of 2,000,000 points. Targets: no
// step on the GUI thread longer than 50 ms (the cache lookup, installing the
// thinned cloud with its cells, the first frame with its upload) and at
// least 10 frames per second on llvmpipe at 1280×800, for the partition
// view (about 60,000 points in 16 cells) and for the live view at its
// 120,000-point bound. The parse itself runs on a worker and is reported
// for reference.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>

#include "SplatRenderer/HeadlessGLContext.hpp"
#include "SplatRenderer/OffscreenFramebuffer.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "viewmodel/PointCloudCache.hpp"
#include "views/PartitionScene.hpp"
#include "views/PointSceneRenderer.hpp"
#include "views/SfMLiveScene.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tessaron;

constexpr int modelPoints = 2'000'000;
constexpr int frameWidth = 1280, frameHeight = 800;

// A model folder of 2,000,000 points over a 200 × 200 ground with a few
// heights, written once per run and removed at exit.
class TownModel {
public:
    TownModel() : folder_(fs::temp_directory_path() / ("tessaron-pointcloud-bench-" + std::to_string(::getpid()))) {
        colmap::CameraMap cameras;
        cameras[1] = {1, 0, 1600, 1200, {1200, 800, 600}};
        colmap::ImageMap images;
        for (int32_t id = 1; id <= 200; ++id) {
            colmap::ImageModel image;
            image.imageId = id;
            image.cameraId = 1;
            image.name = "frame_" + std::to_string(id) + ".jpg";
            images[id] = image;
        }
        colmap::Point3DMap points;
        std::mt19937 generator(3);
        std::uniform_real_distribution<double> ground(-100, 100), height(-8, 0.5);
        for (uint64_t id = 1; id <= modelPoints; ++id) {
            colmap::Point3DModel point;
            point.point3D_id = id;
            point.x = ground(generator), point.y = height(generator), point.z = ground(generator);
            points.emplace_hint(points.end(), id, point);
        }
        colmap::COLMAPUtils::writeModel(cameras, images, points, folder_);
    }
    ~TownModel() { fs::remove_all(folder_); }
    const fs::path& folder() const { return folder_; }

private:
    fs::path folder_;
};

const TownModel& town() {
    static const TownModel model;
    return model;
}

const viewmodel::ParsedCloudPointer& parsedTown() {
    static const viewmodel::ParsedCloudPointer cloud =
        std::make_shared<const viewmodel::ParsedCloud>(viewmodel::PointCloudCache::parseCloud(town().folder()));
    return cloud;
}

// 16 live centroids on a 4 × 4 grid over the ground.
std::vector<partition::Point2D> gridCentroids() {
    std::vector<partition::Point2D> centroids;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) centroids.push_back({-75 + 50.0 * i, -75 + 50.0 * j});
    return centroids;
}

views::PartitionScene installedScene(double now) {
    views::PartitionScene scene([](const std::vector<std::string>&) { return 3.0; });
    views::PartitionScene::Inputs inputs;
    inputs.progressCentroids = gridCentroids();
    scene.setInitialInputs(inputs);
    scene.installCloud(parsedTown(), now);
    return scene;
}

// Worker thread: read and thin the model.
void BM_ParseCloud(benchmark::State& state) {
    town();
    for (auto _ : state) benchmark::DoNotOptimize(viewmodel::PointCloudCache::parseCloud(town().folder()));
    state.counters["points kept"] = double(parsedTown()->positions.size());
}
BENCHMARK(BM_ParseCloud)->Unit(benchmark::kMillisecond)->Iterations(2);

// GUI thread: the cache lookup a new view makes.
void BM_CacheLookup(benchmark::State& state) {
    viewmodel::PointCloudCache::store(town().folder(), parsedTown());
    for (auto _ : state) benchmark::DoNotOptimize(viewmodel::PointCloudCache::cachedCloud(town().folder()));
}
BENCHMARK(BM_CacheLookup)->Unit(benchmark::kMicrosecond);

// GUI thread: installing the thinned cloud, split among 16 live centroids.
void BM_InstallCloud(benchmark::State& state) {
    parsedTown();
    for (auto _ : state) benchmark::DoNotOptimize(installedScene(0));
}
BENCHMARK(BM_InstallCloud)->Unit(benchmark::kMillisecond);

// GUI thread: one more centroid while the planner works (a rebuild).
void BM_CentroidsGrow(benchmark::State& state) {
    auto scene = installedScene(0);
    auto centroids = gridCentroids();
    views::PartitionScene::Inputs inputs;
    double now = 1;
    for (auto _ : state) {
        centroids.push_back({centroids.size() % 2 ? 10.0 : -10.0, double(centroids.size())});
        if (centroids.size() > 40) centroids.resize(16);
        inputs.progressCentroids = centroids;
        scene.update(inputs, now += 0.1);
    }
}
BENCHMARK(BM_CentroidsGrow)->Unit(benchmark::kMillisecond);

struct GLTarget {
    splatrenderer::HeadlessGLContext context;
    splatrenderer::OffscreenFramebuffer framebuffer{frameWidth, frameHeight, false};
    GLTarget() { glBindFramebuffer(GL_FRAMEBUFFER, framebuffer.name()); }
};

// GUI thread: the first frame of a new partition view, uploads included.
void BM_FirstPartitionFrame(benchmark::State& state) {
    GLTarget target;
    const auto scene = installedScene(0);
    for (auto _ : state) {
        views::PointSceneRenderer renderer;
        renderer.draw(scene.frameAt(0), frameWidth, frameHeight, 1, {0, 0, 0}, 1);
        glFinish();
    }
}
BENCHMARK(BM_FirstPartitionFrame)->Unit(benchmark::kMillisecond)->UseRealTime();

// Frames of the partition view with a pulsing cell and a turning content.
void BM_PartitionFrame(benchmark::State& state) {
    GLTarget target;
    auto scene = installedScene(0);
    views::PartitionScene::Inputs inputs;
    inputs.progressCentroids = gridCentroids();
    inputs.highlightedCellIndex = 5;
    scene.update(inputs, 0);
    views::PointSceneRenderer renderer;
    double now = 0;
    for (auto _ : state) {
        renderer.draw(scene.frameAt(now += 1.0 / 60), frameWidth, frameHeight, 1, {0, 0, 0}, 1);
        glFinish();
    }
    state.counters["frames/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["points"] = double(parsedTown()->positions.size());
}
BENCHMARK(BM_PartitionFrame)->Unit(benchmark::kMillisecond)->UseRealTime();

// Frames of the live view at its bound of 120,000 points, with a flash.
void BM_LiveFrame(benchmark::State& state) {
    GLTarget target;
    viewmodel::SfMLiveSnapshot snapshot;
    snapshot.url = "/snapshots/1";
    std::mt19937 generator(5);
    std::uniform_real_distribution<float> spread(-50, 50);
    for (uint64_t id = 1; id <= 240'000; ++id) {
        snapshot.ids.push_back(id);
        snapshot.positions.push_back({spread(generator), spread(generator) / 10, spread(generator)});
    }
    views::SfMLiveScene scene;
    scene.update(snapshot, 0);
    views::PointSceneRenderer renderer;
    double now = 0;
    for (auto _ : state) {
        renderer.draw(scene.frameAt(now), frameWidth, frameHeight, 1, {0, 0, 0}, 1);
        glFinish();
        now = std::fmod(now + 1.0 / 60, 1.0);  // the flash stays on screen
    }
    state.counters["frames/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["points"] = double(scene.base()->positions.size());
}
BENCHMARK(BM_LiveFrame)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
