// Partition planning speed: layout evaluation and whole plans on made-up towns.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <sys/resource.h>

#include <map>
#include <tuple>
#include <memory>

#include "partition/LayoutEvaluator.hpp"
#include "partition/PartitionerDetail.hpp"
#include "generators/SyntheticModel.hpp"

using namespace tessaron;
using namespace tessaron::partition;

namespace {

// Models are expensive to make; each size is made once per process.
const colmap::COLMAPModel& town(int64_t images, int64_t points,
                                 tessaron::generators::SyntheticModelOptions::Layout layout = tessaron::generators::SyntheticModelOptions::Layout::streets) {
    static std::map<std::tuple<int64_t, int64_t, int>, std::unique_ptr<colmap::COLMAPModel>> made;
    auto& slot = made[{images, points, int(layout)}];
    if (!slot) {
        tessaron::generators::SyntheticModelOptions options;
        options.layout = layout;
        options.imageCount = images;
        options.pointCount = points;
        slot = std::make_unique<colmap::COLMAPModel>(tessaron::generators::makeSyntheticModel(options));
    }
    return *slot;
}

void reportPeakMemory(benchmark::State& state) {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peakRSS_MB"] = double(usage.ru_maxrss) / 1024.0;  // whole process, models included
}

// Runs the benchmark body on the first CPU only, then restores the mask.
class OneCore {
public:
    OneCore() {
        sched_getaffinity(0, sizeof saved_, &saved_);
        cpu_set_t one;
        CPU_ZERO(&one);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &saved_)) {
                CPU_SET(cpu, &one);
                break;
            }
        sched_setaffinity(0, sizeof one, &one);
    }
    ~OneCore() { sched_setaffinity(0, sizeof saved_, &saved_); }

private:
    cpu_set_t saved_;
};

struct EvaluationScene {
    CameraCentreMap centres;
    planner::SceneIndex index;
};

const EvaluationScene& evaluationScene() {
    static std::unique_ptr<EvaluationScene> scene;
    if (!scene) {
        const auto& model = town(5000, 1000000);
        scene = std::make_unique<EvaluationScene>();
        for (const auto& [id, image] : model.images) scene->centres[id] = detail::cameraCentre(image);
        scene->index = planner::SceneIndex::build(model.images, model.points3D, scene->centres);
    }
    return *scene;
}

std::vector<planner::CellShape> layoutOf(const planner::SceneIndex& index, int64_t cells) {
    std::vector<planner::CellShape> shapes;
    for (const auto& cluster : detail::bisectLargest(index.records, cells, 0))
        shapes.push_back(planner::shapeOf(index, cluster));
    return shapes;
}

// A whole layout evaluated from scratch (5,000 images, 1,000,000 points).
void BM_EvaluateLayout(benchmark::State& state) {
    const auto& scene = evaluationScene();
    auto shapes = layoutOf(scene.index, state.range(0));
    planner::LayoutEvaluator evaluator(scene.index, MemoryModel(1600, 1200), 6.0, 1.0);
    for (auto _ : state) benchmark::DoNotOptimize(evaluator.evaluateWhole(shapes, false));
    reportPeakMemory(state);
}
BENCHMARK(BM_EvaluateLayout)->Arg(1)->Arg(8)->Arg(32)->Arg(64)->Unit(benchmark::kMillisecond);

// One split candidate: the layout without its first cell plus two halves of
// it, from a base prepared once per split step.
void BM_EvaluateSplitCandidate(benchmark::State& state) {
    const auto& scene = evaluationScene();
    int64_t cells = state.range(0);
    auto clusters = detail::bisectLargest(scene.index.records, cells, 0);
    std::vector<planner::CellShape> base;
    for (size_t index = 1; index < clusters.size(); ++index) base.push_back(planner::shapeOf(scene.index, clusters[index]));
    std::vector<GroundPoint> members;
    for (uint64_t id : clusters[0].pointIds) members.push_back(scene.index.records[id]);
    std::vector<planner::CellShape> halves;
    for (const auto& half : detail::kMeansXZ(members, 2, 1, 50))
        halves.push_back(planner::shapeOf(scene.index, half));
    planner::LayoutEvaluator evaluator(scene.index, MemoryModel(1600, 1200), 6.0, 1.0);
    auto prepared = evaluator.prepare(base);
    for (auto _ : state) benchmark::DoNotOptimize(evaluator.evaluate(prepared, halves, false));
    reportPeakMemory(state);
}
BENCHMARK(BM_EvaluateSplitCandidate)->Arg(1)->Arg(8)->Arg(32)->Arg(64)->Unit(benchmark::kMillisecond);

// The whole plan of 2,000 images and 300,000 points on one core (target: under 5 s).
void BM_CreatePlanOneCore(benchmark::State& state) {
    const auto& model = town(2000, 300000);
    OneCore pinned;
    size_t cells = 0;
    for (auto _ : state) cells = VastGaussianPartitioner::createPlan(model, {.ramLimitGB = 8.0}).cells.size();
    state.counters["cells"] = double(cells);
    reportPeakMemory(state);
}
BENCHMARK(BM_CreatePlanOneCore)->Unit(benchmark::kSecond)->Iterations(1);

// 10,000 images on a grid and 2,000,000 points at half resolution under a
// 3.8 GB limit, which forces 40 to 64 cells (43), on every core (target:
// under 2 minutes).
void BM_CreatePlanLarge(benchmark::State& state) {
    const auto& model = town(10000, 2000000, tessaron::generators::SyntheticModelOptions::Layout::grid);
    size_t cells = 0;
    const VastGaussianPartitioner::PlanOptions options{.downscaleFactor = 2, .gaussianBudget = 6000000, .ramLimitGB = 3.8};
    for (auto _ : state) cells = VastGaussianPartitioner::createPlan(model, options).cells.size();
    state.counters["cells"] = double(cells);
    reportPeakMemory(state);
}
BENCHMARK(BM_CreatePlanLarge)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
