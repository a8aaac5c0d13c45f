// The photo check before COLMAP: its time and its peak memory on a folder
// whose photos claim a gigabyte each (sparse: a real JPEG, then a hole) and
// on a folder of ordinary camera-sized photos. Target: the check's memory
// follows the pictures, not the file sizes or the cores, under 256 MiB
// beyond the process for sixteen sparse 1 GiB photos (reading each whole
// held 8.5 GB on eight cores).
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "generators/SyntheticScene.hpp"
#include "pipeline/PhotoFolderCheck.hpp"

namespace {

using tessaron::pipeline::PhotoFolderCheck;
namespace fs = std::filesystem;

double statusMiB(const std::string& key) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(key + ":")) return std::stod(line.substr(key.size() + 1)) / 1024;
    return 0;
}

// Folders made once per process, removed with it.
struct BenchFolders {
    fs::path root = fs::temp_directory_path() / ("tessaron-photo-check-bench-" + std::to_string(::getpid()));
    fs::path giants = root / "giants";
    fs::path photos = root / "photos";

    BenchFolders() {
        const std::vector<fs::path> rendered =
            tessaron::generators::renderScene(root / "rendered", 16, {.width = 1600, .height = 1200, .focalLength = 1400});
        fs::create_directories(giants);
        fs::create_directories(photos);
        for (size_t index = 0; index < rendered.size(); ++index) {
            const fs::path giant = giants / ("giant_" + std::to_string(index) + ".jpg");
            fs::copy_file(rendered[index], giant);
            fs::resize_file(giant, PhotoFolderCheck::maximumPhotoBytes);
            fs::copy_file(rendered[index], photos / rendered[index].filename());
        }
    }
    ~BenchFolders() {
        std::error_code error;
        fs::remove_all(root, error);
    }
};

const BenchFolders& folders() {
    static const BenchFolders made;
    return made;
}

void checkFolder(benchmark::State& state, const fs::path& folder) {
    double peakMiB = 0;
    for (auto _ : state) {
        ::malloc_trim(0);  // freed memory goes back, so what the check takes shows
        const double before = statusMiB("VmRSS");
        std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again here
        benchmark::DoNotOptimize(PhotoFolderCheck::require(folder, folders().root / "out"));
        peakMiB = std::max(peakMiB, statusMiB("VmHWM") - before);
    }
    state.counters["peak_MiB"] = peakMiB;
    state.SetItemsProcessed(state.iterations() * 16);
}

void BM_CheckSparseGigabytePhotos(benchmark::State& state) { checkFolder(state, folders().giants); }
void BM_CheckCameraSizedPhotos(benchmark::State& state) { checkFolder(state, folders().photos); }

}  // namespace

BENCHMARK(BM_CheckSparseGigabytePhotos)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CheckCameraSizedPhotos)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
