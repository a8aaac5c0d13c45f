// Lines per second through ProcessRunner for a child printing a million short
// lines, beside the same pipeline counted by wc -l for comparison.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstdint>
#include <string>

#include "engines/ProcessRunner.hpp"

namespace {

// CPU time of this process (the runner's readers and delivery queue), in ms.
double processCPUMilliseconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto milliseconds = [](const timeval& time) { return double(time.tv_sec) * 1e3 + double(time.tv_usec) / 1e3; };
    return milliseconds(usage.ru_utime) + milliseconds(usage.ru_stime);
}

constexpr int64_t kLineCount = 1'000'000;

const std::string kProducer = "yes | head -n " + std::to_string(kLineCount);

void ProcessRunnerLines(benchmark::State& state) {
    tessaron::engines::ProcessRunner runner;
    int64_t delivered = 0;
    double cpuBefore = processCPUMilliseconds();
    for (auto _ : state) {
        delivered = 0;
        runner.run({.executablePath = "/bin/sh", .arguments = {"-c", kProducer}},
                   [&delivered](const std::string&) { ++delivered; });
        if (delivered != kLineCount) state.SkipWithError("not every line was delivered");
    }
    state.SetItemsProcessed(state.iterations() * kLineCount);
    state.counters["lines"] = double(delivered);
    state.counters["runnerCPUms"] = (processCPUMilliseconds() - cpuBefore) / double(state.iterations());
}
BENCHMARK(ProcessRunnerLines)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same stream read through a pipe by wc -l; only its one result line
// comes back through the runner.
void WcCountLines(benchmark::State& state) {
    tessaron::engines::ProcessRunner runner;
    std::string counted;
    for (auto _ : state) {
        runner.run({.executablePath = "/bin/sh", .arguments = {"-c", kProducer + " | wc -l"}},
                   [&counted](const std::string& line) { counted = line; });
        if (counted.find(std::to_string(kLineCount)) == std::string::npos) state.SkipWithError("wc -l miscounted");
    }
    state.SetItemsProcessed(state.iterations() * kLineCount);
}
BENCHMARK(WcCountLines)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
