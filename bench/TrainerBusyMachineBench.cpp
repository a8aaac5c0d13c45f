// The training step beside other programs: four busy processes (spinning
// children, killed at the end) share the machine with the trainer on 4 and
// on 8 threads, the scene and step of TrainerBench. A loop waits only for
// the chunks it hands out, not for every worker, so a worker the system
// has paused holds up nobody; and the engine's pool runs its loops on the
// CPUs the busy programs leave free (the "width" counter: threads the last
// step ran on), so that none of its threads is paused in turn with them.
// Target: beside four busy processes on 8 cores, 8 threads are no slower
// than 4.
#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <random>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "TrainerBenchScene.hpp"
#include "Trainer/Rasterizer.hpp"
#include "Trainer/Trainer.hpp"

using namespace tessaron::trainer;
using namespace tessaron::trainer::bench;

namespace {

using ThreadPool = std::remove_reference_t<decltype(std::declval<Trainer&>().pool())>;

constexpr size_t gaussians = 50000;

// Child processes that spin until they are killed, which the destructor
// does (and reaps them), however the benchmark ends.
class BusyProcesses {
public:
    explicit BusyProcesses(int count) {
        for (int k = 0; k < count; ++k) {
            const pid_t child = ::fork();
            if (child < 0) throw std::runtime_error("cannot start a busy process");
            if (child == 0) {
                // Only a spin: nothing here touches what other threads held
                // at the fork.
                for (;;) benchmark::DoNotOptimize(children_.size());
            }
            children_.push_back(child);
        }
    }
    ~BusyProcesses() {
        for (pid_t child : children_) ::kill(child, SIGKILL);
        for (pid_t child : children_) ::waitpid(child, nullptr, 0);
    }
    BusyProcesses(const BusyProcesses&) = delete;
    BusyProcesses& operator=(const BusyProcesses&) = delete;

private:
    std::vector<pid_t> children_;
};

void BM_StepBesideBusyProcesses(benchmark::State& state) {
    const unsigned threads = unsigned(state.range(0));
    const TrainingDataset dataset = benchDataset(threads, gaussians);
    TrainingSettings settings;
    settings.threads = threads;
    settings.densifyUntil = 0;  // a steady model: the step alone is measured
    Trainer trainer(dataset, sceneGaussians(gaussians), settings);
    trainer.step(0);  // buffers reach their size
    BusyProcesses busy(int(state.range(1)));
    for (auto _ : state) benchmark::DoNotOptimize(trainer.step(0));
    state.counters["threads"] = double(threads);
    state.counters["busy"] = double(state.range(1));
    state.counters["width"] = double(trainer.pool().width());  // threads the last step ran on
}
BENCHMARK(BM_StepBesideBusyProcesses)
    ->ArgsProduct({{4, 8}, {4}})
    ->ArgNames({"threads", "busy"})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3.0)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
