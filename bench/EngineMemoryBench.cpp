// The partition planner's memory model against the training engine's real
// peak memory, on two generated cells of different sizes: a made-up town
// model with decodable photos, trained for a few steps by the engine program
// (its peak is reached at the first step; nothing densifies this early). The
// counters give the model's prediction for the cell's photos and the
// Gaussians the engine held, the engine's peak resident memory ("[MEM] peak
// phys="), and their ratio: below 1 the model underestimates.
// Run by hand: bench/EngineMemoryBench (builds the photos, then runs trevik).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "colmap/COLMAPUtils.hpp"
#include "engines/TrevikRunner.hpp"
#include "partition/MemoryModel.hpp"
#include "generators/SyntheticModel.hpp"
#include "support/SyntheticPhotos.hpp"

namespace fs = std::filesystem;
using namespace tessaron;

namespace {

constexpr double bytesPerGB = 1073741824.0;

// A folder of its own under the system's temporary folder, removed at the end.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (fs::temp_directory_path() / "engine-memory-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create " + pattern);
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;  // best effort: a benchmark's scratch files
        fs::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// The number after `key` in the last engine line that holds it.
std::optional<double> lastNumberAfter(const std::vector<std::string>& lines, const std::string& key) {
    std::optional<double> value;
    for (const std::string& line : lines) {
        const size_t at = line.find(key);
        if (at == std::string::npos) continue;
        std::string digits;
        for (char c : line.substr(at + key.size()))
            if (c != ',') digits += c;
        value = std::strtod(digits.c_str(), nullptr);
    }
    return value;
}

// Arguments: photos, width, height, SfM points.
void BM_EngineMemoryAgainstModel(benchmark::State& state) {
    const int64_t photos = state.range(0), width = state.range(1), height = state.range(2), points = state.range(3);
    ScratchFolder scratch;
    const fs::path dataset = scratch.path() / "cell";
    tessaron::generators::SyntheticModelOptions options;
    options.layout = tessaron::generators::SyntheticModelOptions::Layout::grid;
    options.imageCount = photos;
    options.pointCount = points;
    options.imageWidth = uint64_t(width);
    options.imageHeight = uint64_t(height);
    const colmap::COLMAPModel model = tessaron::generators::makeSyntheticModel(options);
    colmap::COLMAPUtils::writeModel(model, dataset / "sparse" / "0");
    testing::writeSyntheticPhotos(model, dataset / "images");

    std::vector<std::string> lines;
    for (auto _ : state) {
        engines::TrevikRunner runner;
        std::mutex mutex;
        lines.clear();
        runner.onLog = [&](const std::string& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        };
        engines::TrevikRunner::Options run;
        run.datasetPath = dataset.string();
        run.outputPath = (scratch.path() / "output.ply").string();
        run.iterations = 3;
        run.capMax = 10000000;
        runner.run(run);
    }
    const auto peakMB = lastNumberAfter(lines, "[MEM] peak phys=");
    const auto splats = lastNumberAfter(lines, "splats=");
    if (!peakMB || !splats) {
        state.SkipWithError("the engine printed no peak memory or splat count");
        return;
    }
    const double measuredGB = *peakMB * 1048576.0 / bytesPerGB;
    const double modelGB = partition::MemoryModel(width, height).memGB(photos, int64_t(*splats));
    state.counters["photos"] = double(photos);
    state.counters["gaussians"] = *splats;
    state.counters["model_GB"] = modelGB;
    state.counters["measured_GB"] = measuredGB;
    state.counters["model/measured"] = modelGB / measuredGB;
    // What the photos alone take in the engine (floats) and in the model.
    state.counters["photos_engine_GB"] = double(photos * width * height) * 3.0 / bytesPerGB;
    state.counters["photos_model_GB"] = double(photos * width * height) * 3.0 / bytesPerGB;
}
BENCHMARK(BM_EngineMemoryAgainstModel)
    ->Args({30, 640, 480, 20000})
    ->Args({120, 1280, 960, 150000})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
