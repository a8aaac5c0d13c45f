// Seamless merge throughput: trained cells of 248-byte records (position,
// colour with third-degree spherical harmonics, opacity, scale, rotation and
// three more floats) merged from the page cache. The merge runs on the
// calling thread only, so the rate is that of one core.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "partition/SeamlessMerger.hpp"
#include "generators/SyntheticCells.hpp"

using namespace tessaron;
using namespace tessaron::partition;

namespace {

// 14 Gaussian floats + 48 more = 62 floats = 248 bytes.
constexpr int64_t kExtraProperties = 48;

struct CellSet {
    std::filesystem::path folder;
    std::vector<SeamlessMerger::CellInput> inputs;
    CellBounds sceneBounds;
    bool pureVoronoi = false;
    int64_t records = 0;
    uint64_t bytes = 0;
    uint64_t largestCellBytes = 0;

    ~CellSet() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
};

// Cells are written once per size, by a child process, so that the made-up
// scene's memory never counts toward this process's peak.
const CellSet& cellSet(int64_t columns, int64_t rows, int64_t gaussiansPerCell) {
    static std::map<std::tuple<int64_t, int64_t, int64_t>, std::unique_ptr<CellSet>> made;
    auto& slot = made[{columns, rows, gaussiansPerCell}];
    if (slot) return *slot;
    slot = std::make_unique<CellSet>();
    slot->folder = std::filesystem::temp_directory_path() /
                   ("tessaron-merge-bench-" + std::to_string(::getpid()) + "-" + std::to_string(made.size()));
    pid_t child = ::fork();
    if (child == 0) {
        tessaron::generators::SyntheticCellsOptions options;
        options.columns = columns;
        options.rows = rows;
        options.gaussiansPerCell = gaussiansPerCell;
        options.edgeGaussians = gaussiansPerCell / 50;
        options.rejectsPerCell = gaussiansPerCell / 20;
        options.extraProperties = kExtraProperties;
        tessaron::generators::writeSyntheticCells(slot->folder, options).plan.save(slot->folder / "partition_plan.json");
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("could not write the cells");

    // The merge is measured from the page cache: the new files are flushed
    // first, so that their writeback does not run during the merge, and read
    // once.
    ::sync();
    PartitionPlan plan = PartitionPlan::load(slot->folder / "partition_plan.json");
    slot->sceneBounds = plan.sceneBounds;
    slot->pureVoronoi = plan.clusterCentroids.has_value();
    for (size_t index = 0; index < plan.cells.size(); ++index) {
        const auto& cell = plan.cells[index];
        SeamlessMerger::CellInput input;
        input.plyURL = slot->folder / cell.id / "output.ply";
        input.coreBounds = cell.coreBounds;
        input.expandedBounds = cell.expandedBounds;
        input.sparseURL = slot->folder / cell.id / "sparse/0";
        input.transform = SeamlessMerger::estimateNormTransform(input.sparseURL).value();
        if (plan.clusterCentroids) input.clusterCentroidXZ = (*plan.clusterCentroids)[index];
        slot->inputs.push_back(input);
        uint64_t size = std::filesystem::file_size(input.plyURL);
        slot->bytes += size;
        slot->largestCellBytes = std::max(slot->largestCellBytes, size);
        slot->records += int64_t(size / 248);
        std::ifstream warm(input.plyURL, std::ios::binary);
        std::vector<char> buffer(1 << 20);
        while (warm.read(buffer.data(), std::streamsize(buffer.size()))) {
        }
    }
    return *slot;
}

// The output goes to memory-backed storage where there is one, so that the
// final flush to disk does not stand in for the merge's own speed.
std::filesystem::path outputFile() {
    std::filesystem::path shm = "/dev/shm";
    std::filesystem::path folder = std::filesystem::is_directory(shm) ? shm : std::filesystem::temp_directory_path();
    return folder / ("tessaron-merge-bench-" + std::to_string(::getpid()) + ".ply");
}

// args: columns, rows, scene Gaussians per core cell.
void BM_SeamlessMerge(benchmark::State& state) {
    const CellSet& cells = cellSet(state.range(0), state.range(1), state.range(2));
    const std::filesystem::path output = outputFile();
    for (auto _ : state) {
        SeamlessMerger::merge(cells.inputs, output, cells.sceneBounds, {.pureVoronoiOwnership = cells.pureVoronoi});
    }
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    state.SetItemsProcessed(state.iterations() * cells.records);
    state.SetBytesProcessed(state.iterations() * int64_t(cells.bytes));
    state.counters["cells"] = double(cells.inputs.size());
    state.counters["input_MB"] = double(cells.bytes) / 1e6;
    state.counters["output_MB"] = double(std::filesystem::file_size(output)) / 1e6;
    state.counters["largestCell_MB"] = double(cells.largestCellBytes) / 1e6;
    state.counters["peakRSS_MB"] = double(usage.ru_maxrss) / 1024.0;  // whole process
    std::filesystem::remove(output);
}

// About 250,000 records per cell file in 4 cells (CI size), and about
// 1,000,000 per cell file in 16 cells (overlap margins included).
BENCHMARK(BM_SeamlessMerge)
    ->Args({2, 2, 174000})
    ->Args({4, 4, 590000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
