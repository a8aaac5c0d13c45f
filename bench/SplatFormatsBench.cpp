// Reading and writing one million Gaussians at SH degree 3 in each format,
// beside the peer, splat-transform, on the same files.
// Targets: PLY read at least 8,000,000 Gaussians/s (2 GB/s) on one core; SPZ
// read under 0.25 s and write under 1 s, both at least 4x faster than the
// peer; PLY to .splat at least 5,000,000 Gaussians/s; .splat read and write at
// least 5,000,000 Gaussians/s; peak memory of reading the PLY no more than
// 1.5x its size, of SplatConverter no more than 1.3x its input's size for
// every output format. After the runs, a table sets each figure beside its
// target and the peer's.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>

#include "SplatFormats/DotSplatSceneReader.hpp"
#include "SplatFormats/DotSplatSceneWriter.hpp"
#include "SplatFormats/SPZSceneReader.hpp"
#include "SplatFormats/SPZSceneWriter.hpp"
#include "SplatFormats/SplatPLYSceneReader.hpp"
#include "SplatFormats/SplatPLYSceneWriter.hpp"

namespace {

namespace fs = std::filesystem;
using splatformats::SplatPoint;

constexpr std::size_t gaussianCount = 1'000'000;
constexpr std::size_t generationBatch = 10'000;

// What the runs measured, by name, for the table printed at the end:
// seconds for one pass, or a ratio.
std::map<std::string, double>& figures() {
    static std::map<std::string, double> measured;
    return measured;
}

void record(const std::string& name, double value) { figures()[name] = value; }

// The wall time of the fastest pass: the machine is shared, and the others'
// work only ever adds to a pass.
class FastestPass {
public:
    void start() { started_ = std::chrono::steady_clock::now(); }
    void stop() {
        fastest_ = std::min(fastest_, std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count());
    }
    double seconds() const { return fastest_; }

private:
    std::chrono::steady_clock::time_point started_;
    double fastest_ = 1e30;
};

// Values spread like a trained scene: positions over tens of units, small
// log scales, modest higher-order harmonics.
std::vector<SplatPoint> generate(std::size_t count, std::mt19937& generator) {
    std::normal_distribution<float> normal(0, 1);
    std::vector<SplatPoint> points;
    points.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        splatformats::SHCoefficients triples;
        triples.push_back({normal(generator), normal(generator), normal(generator)});
        for (int k = 1; k < 16; ++k) {
            float spread = k < 4 ? 0.1f : (k < 9 ? 0.05f : 0.03f);
            triples.push_back({normal(generator) * spread, normal(generator) * spread, normal(generator) * spread});
        }
        points.emplace_back(splatformats::Vector3{normal(generator) * 10, normal(generator) * 10, normal(generator) * 10},
                            SplatPoint::Color::sphericalHarmonicFloat(triples),
                            SplatPoint::Opacity::logitFloat(normal(generator) * 2),
                            SplatPoint::Scale::exponent({normal(generator) - 4, normal(generator) - 4, normal(generator) - 4}),
                            splatformats::Quaternion{normal(generator), normal(generator), normal(generator), normal(generator)});
    }
    return points;
}

// The input files, written batch by batch so that the process stays small
// until the memory measurement has run.
struct BenchFiles {
    fs::path folder;
    fs::path ply, spz, dotSplat;

    BenchFiles() {
        char pattern[] = "/tmp/splatformats-bench-XXXXXX";
        folder = ::mkdtemp(pattern);
        ply = folder / "scene.ply";
        spz = folder / "scene.spz";
        dotSplat = folder / "scene.splat";
        splatformats::SplatPLYSceneWriter plyWriter(ply);
        plyWriter.start(3, true, gaussianCount);
        splatformats::DotSplatSceneWriter dotSplatWriter(dotSplat);
        splatformats::SPZSceneWriter spzWriter(spz);
        spzWriter.start(gaussianCount);
        std::mt19937 generator(42);
        for (std::size_t written = 0; written < gaussianCount; written += generationBatch) {
            auto points = generate(generationBatch, generator);
            plyWriter.write(points);
            dotSplatWriter.write(points);
            spzWriter.write(points);
        }
        plyWriter.close();
        dotSplatWriter.close();
        spzWriter.close();
    }
    ~BenchFiles() {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
};

BenchFiles& files() {
    static BenchFiles instance;
    return instance;
}

const std::vector<SplatPoint>& scene() {
    static const std::vector<SplatPoint> points = [] {
        std::mt19937 generator(42);
        return generate(gaussianCount, generator);
    }();
    return points;
}

template <typename Reader>
void readBenchmark(benchmark::State& state, const fs::path& path, const std::string& figure) {
    FastestPass fastest;
    for (auto _ : state) {
        fastest.start();
        auto points = Reader(path).readAll();
        fastest.stop();
        if (points.size() != gaussianCount) state.SkipWithError("wrong point count");
        benchmark::DoNotOptimize(points.data());
    }
    state.SetItemsProcessed(std::int64_t(state.iterations() * gaussianCount));
    state.counters["file_MB"] = double(fs::file_size(path)) / 1e6;
    record(figure, fastest.seconds());
}

// Peak resident memory of a child that reads the file whole, against the
// file's size. A child, so that nothing else of this process counts.
template <typename Reader>
void readPeakMemory(benchmark::State& state, const fs::path& path, const char* figure) {
    double peakBytes = 0;
    for (auto _ : state) {
        pid_t child = ::fork();
        if (child == 0) {
            auto points = Reader(path).readAll();
            ::_exit(points.size() == gaussianCount ? 0 : 1);
        }
        int status = 0;
        rusage usage{};
        ::wait4(child, &status, 0, &usage);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("the reading child failed");
        peakBytes = double(usage.ru_maxrss) * 1024;
    }
    state.counters["peak_MB"] = peakBytes / 1e6;
    state.counters["peak_per_file_size"] = peakBytes / double(fs::file_size(path));
    record(std::string(figure), peakBytes / double(fs::file_size(path)));
}

void BM_PLYReadPeakMemory(benchmark::State& state) {
    readPeakMemory<splatformats::SplatPLYSceneReader>(state, files().ply, "ply read peak");
}
void BM_SPZReadPeakMemory(benchmark::State& state) {
    readPeakMemory<splatformats::SPZSceneReader>(state, files().spz, "spz read peak");
}

// Argument 0: by the vertex's byte layout; 1: property by property.
void BM_PLYRead(benchmark::State& state) {
    auto decoding = state.range(0) == 0 ? splatformats::SplatPLYSceneReader::BodyDecoding::byLayout
                                        : splatformats::SplatPLYSceneReader::BodyDecoding::perProperty;
    const fs::path ply = files().ply;  // written before the clock runs
    FastestPass fastest;
    for (auto _ : state) {
        fastest.start();
        splatformats::SplatPLYSceneReader reader(ply);
        reader.setBodyDecoding(decoding);
        auto points = reader.readAll();
        fastest.stop();
        if (points.size() != gaussianCount) state.SkipWithError("wrong point count");
        benchmark::DoNotOptimize(points.data());
    }
    state.SetItemsProcessed(std::int64_t(state.iterations() * gaussianCount));
    state.SetBytesProcessed(std::int64_t(state.iterations() * fs::file_size(ply)));
    record(state.range(0) == 0 ? "ply read" : "ply read per property", fastest.seconds());
}

// The same, batch by batch into one reused batch, as a streaming consumer
// takes the points: no scene-sized block to fault in.
void BM_PLYReadStreaming(benchmark::State& state) {
    const fs::path ply = files().ply;
    FastestPass fastest;
    for (auto _ : state) {
        fastest.start();
        auto sequence = splatformats::SplatPLYSceneReader(ply).read();
        splatformats::SplatBatch batch;
        std::size_t count = 0;
        while (sequence.appendNext(batch)) {
            count += batch.size();
            benchmark::DoNotOptimize(batch.data());
            batch.clear();
        }
        fastest.stop();
        if (count != gaussianCount) state.SkipWithError("wrong point count");
    }
    record("ply read streaming", fastest.seconds());
    state.SetItemsProcessed(std::int64_t(state.iterations() * gaussianCount));
    state.SetBytesProcessed(std::int64_t(state.iterations() * fs::file_size(ply)));
}
void BM_SPZRead(benchmark::State& state) { readBenchmark<splatformats::SPZSceneReader>(state, files().spz, "spz read"); }
void BM_DotSplatRead(benchmark::State& state) {
    readBenchmark<splatformats::DotSplatSceneReader>(state, files().dotSplat, "splat read");
}

void BM_PLYWrite(benchmark::State& state) {
    const auto& points = scene();
    fs::path path = files().folder / "written.ply";
    for (auto _ : state) {
        splatformats::SplatPLYSceneWriter writer(path);
        writer.start(3, true, std::int64_t(points.size()));
        writer.write(points);
        writer.close();
    }
    state.SetItemsProcessed(std::int64_t(state.iterations() * points.size()));
}

void BM_SPZWrite(benchmark::State& state) {
    const auto& points = scene();
    fs::path path = files().folder / "written.spz";
    FastestPass fastest;
    for (auto _ : state) {
        fastest.start();
        splatformats::SPZSceneWriter writer(path);
        writer.start(std::int64_t(points.size()));
        writer.write(points);
        writer.close();
        fastest.stop();
    }
    state.SetItemsProcessed(std::int64_t(state.iterations() * points.size()));
    state.counters["file_MB"] = double(fs::file_size(path)) / 1e6;
    record("spz write", fastest.seconds());
}

void BM_DotSplatWrite(benchmark::State& state) {
    const auto& points = scene();
    fs::path path = files().folder / "written.splat";
    FastestPass fastest;
    for (auto _ : state) {
        fastest.start();
        splatformats::DotSplatSceneWriter writer(path);
        writer.write(points);
        writer.close();
        fastest.stop();
    }
    state.SetItemsProcessed(std::int64_t(state.iterations() * points.size()));
    record("splat write", fastest.seconds());
}

// A child process run to its end: wall time and peak resident memory.
struct ChildRun {
    double seconds = 0;
    double peakBytes = 0;
    bool succeeded = false;
};

// With `outputFile`, the child's standard output and error go there.
ChildRun runChild(const std::vector<std::string>& arguments, const std::optional<fs::path>& outputFile = std::nullopt) {
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t child = ::fork();
    if (child == 0) {
        if (outputFile) {
            int output = ::open(outputFile->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (output < 0 || ::dup2(output, STDOUT_FILENO) < 0 || ::dup2(output, STDERR_FILENO) < 0) ::_exit(126);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    ChildRun run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.peakBytes = double(usage.ru_maxrss) * 1024;
    run.succeeded = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

// build/bench/<this> → the checkout and the converter beside the app.
fs::path buildFolder() { return fs::read_symlink("/proc/self/exe").parent_path().parent_path(); }
fs::path converterPath() { return buildFolder() / "bin" / "Resources" / "SplatConverter"; }
// The pinned peer that the test set-up installs into the checkout first
// (this source's checkout, then the one the build folder sits in), else the
// first on PATH; empty when there is none.
const fs::path& splatTransformPath() {
    static const fs::path found = [] {
        const fs::path pinned = fs::path(".deps") / "splat-transform" / "node_modules" / ".bin" / "splat-transform";
        for (const fs::path& checkout : {fs::path(TESSARON_SOURCE_DIR), buildFolder().parent_path()})
            if (fs::exists(checkout / pinned)) return checkout / pinned;
        if (const char* path = std::getenv("PATH")) {
            std::istringstream folders(path);
            for (std::string folder; std::getline(folders, folder, ':');)
                if (!folder.empty() && ::access((fs::path(folder) / "splat-transform").c_str(), X_OK) == 0)
                    return fs::path(folder) / "splat-transform";
        }
        return fs::path();
    }();
    return found;
}

std::string readFile(const fs::path& path) {
    std::ifstream stream(path);
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

// "splat-transform v2.7.1 (b42b60c)" as the peer tells it, or why not.
const std::string& splatTransformVersion() {
    static const std::string version = [] {
        if (splatTransformPath().empty()) return std::string("splat-transform is not installed");
        const fs::path output = files().folder / "peer-version.txt";
        if (!runChild({splatTransformPath().string(), "--version"}, output).succeeded)
            return "splat-transform at " + splatTransformPath().string() + " does not start";
        std::string text = readFile(output);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        return text + " at " + splatTransformPath().string();
    }();
    return version;
}

double residentBytes() {
    std::ifstream statm("/proc/self/statm");
    double pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * double(::sysconf(_SC_PAGESIZE));
}

// Runs the child once per iteration; records the fastest run's seconds as
// `figure` and the largest peak against the input's size as `figure` + " peak".
// `check`, given what the child printed, tells why a run that exited well
// still did not do the work (empty: it did); a run that failed records
// nothing, so that no ratio is made of it.
void reportChild(benchmark::State& state, const std::vector<std::string>& arguments, const fs::path& input,
                 const std::string& figure, const std::function<std::string(const std::string&)>& check = {}) {
    double fastest = 1e30, peakBytes = 0;
    const fs::path output = files().folder / "child-output.txt";
    for (auto _ : state) {
        ChildRun run = runChild(arguments, output);
        if (!run.succeeded) {
            state.SkipWithError(("the child failed: " + readFile(output)).c_str());
            return;
        }
        if (std::string why = check ? check(readFile(output)) : std::string(); !why.empty()) {
            state.SkipWithError(why.c_str());
            return;
        }
        state.SetIterationTime(run.seconds);
        fastest = std::min(fastest, run.seconds);
        peakBytes = std::max(peakBytes, run.peakBytes);
    }
    state.SetItemsProcessed(std::int64_t(state.iterations() * gaussianCount));
    state.counters["peak_MB"] = peakBytes / 1e6;
    state.counters["peak_per_input_size"] = peakBytes / double(fs::file_size(input));
    state.counters["parent_MB"] = residentBytes() / 1e6;
    record(figure, fastest);
    record(figure + " peak", peakBytes / double(fs::file_size(input)));
}

// An empty folder in memory (/dev/shm) for outputs, so that a conversion is
// measured without the disk: writers save through fsync.
const fs::path& memoryFolder() {
    static const struct MemoryFolder {
        fs::path path;
        bool made = false;
        MemoryFolder() {
            char pattern[] = "/dev/shm/splatformats-bench-XXXXXX";
            made = fs::is_directory("/dev/shm") && ::mkdtemp(pattern);
            path = made ? fs::path(pattern) : files().folder;
        }
        ~MemoryFolder() {
            std::error_code ignored;
            if (made) fs::remove_all(path, ignored);
        }
    } folder;
    return folder.path;
}

// SplatConverter from the PLY into each output format (first argument: 0
// spz, 1 dotSplat, 2 ply-ascii), beside the input on disk (second argument 0)
// or into memory (1): time, and peak memory against the input's size.
void BM_ConverterFromPLY(benchmark::State& state) {
    static const char* formats[] = {"spz", "dotSplat", "ply-ascii"};
    const char* format = formats[state.range(0)];
    const bool inMemory = state.range(1) == 1;
    fs::path output = (inMemory ? memoryFolder() : files().folder) / (std::string("converted.") + format);
    reportChild(state, {converterPath().string(), files().ply.string(), "-o", output.string(), "-f", format}, files().ply,
                std::string("converter ply to ") + format + (inMemory ? " in memory" : " on disk"));
    state.SetLabel(std::string(format) + (inMemory ? " in memory" : " on disk"));
}

// The same from the SPZ, whose whole stream is held inflated.
void BM_ConverterFromSPZ(benchmark::State& state) {
    fs::path output = memoryFolder() / "converted-from-spz.splat";
    reportChild(state, {converterPath().string(), files().spz.string(), "-o", output.string(), "-f", "dotSplat"},
                files().spz, "converter spz to dotSplat in memory");
}

// The peer, splat-transform, on the same files: starting alone, reading the
// PLY or the SPZ (output discarded), and converting the PLY to SPZ version 3
// (ours), into memory. Its start-up is taken off its figures in the table.
bool peerMissing(benchmark::State& state) {
    state.SetLabel(splatTransformVersion());
    if (!splatTransformPath().empty()) return false;
    state.SkipWithError("splat-transform is not installed");
    return true;
}
void BM_PeerStartup(benchmark::State& state) {
    if (peerMissing(state)) return;
    reportChild(state, {splatTransformPath().string(), "--version"}, files().ply, "peer startup");
}
// The read decodes the whole body into the peer's columns, as ours decodes
// it into points: its own report of the read must say so, with every
// Gaussian counted, or the ratio would set a partial read beside a whole one.
void BM_PeerReadPLY(benchmark::State& state) {
    if (peerMissing(state)) return;
    reportChild(state, {splatTransformPath().string(), "--verbose", "--no-tty", "-w", files().ply.string(), "null"},
                files().ply, "peer ply read", [](const std::string& printed) {
                    static_assert(gaussianCount == 1'000'000, "the count as the peer prints it");
                    const bool decoded = printed.find("decoding") != std::string::npos;
                    const bool whole = printed.find("1M gaussians") != std::string::npos;
                    return decoded && whole ? std::string()
                                            : "the peer did not report decoding all " + std::to_string(gaussianCount) +
                                                  " Gaussians: " + printed;
                });
}
void BM_PeerReadSPZ(benchmark::State& state) {
    if (peerMissing(state)) return;
    reportChild(state, {splatTransformPath().string(), "-q", "-w", files().spz.string(), "null"}, files().spz,
                "peer spz read");
}
void BM_PeerConvertPLYToSPZ(benchmark::State& state) {
    if (peerMissing(state)) return;
    fs::path output = memoryFolder() / "peer.spz";
    reportChild(state,
                {splatTransformPath().string(), "-q", "-w", files().ply.string(), "--spz-version", "3", output.string()},
                files().ply, "peer ply to spz");
}

// The table: each target beside what was measured and, where it has one, the
// peer's figure net of its start-up and the ratio.
void printTargets() {
    const auto& measured = figures();
    if (measured.empty()) return;
    auto figure = [&](const std::string& name) {
        auto found = measured.find(name);
        return found == measured.end() ? std::optional<double>() : std::optional<double>(found->second);
    };
    const double count = double(gaussianCount);
    const auto peerStartup = figure("peer startup").value_or(0);
    auto peerNet = [&](const std::string& name) -> std::optional<double> {
        auto seconds = figure(name);
        if (!seconds) return std::nullopt;
        return std::max(*seconds - peerStartup, 1e-3);
    };
    std::optional<double> peerSPZWrite;
    if (auto convert = figure("peer ply to spz"), read = figure("peer ply read"); convert && read)
        peerSPZWrite = std::max(*convert - *read, 1e-3);

    std::printf("\nPeer: %s\n", splatTransformVersion().c_str());
    std::printf("%-50s %-22s %-8s %s\n", "Target (1,000,000 SH-3 Gaussians)", "measured", "met", "peer (net of start-up)");
    auto line = [&](const char* target, const std::string& measuredText, bool met, const std::string& peerText) {
        std::printf("%-50s %-22s %-8s %s\n", target, measuredText.c_str(), met ? "met" : "NOT met", peerText.c_str());
    };
    auto text = [](const char* format, double value) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, format, value);
        return std::string(buffer);
    };
    auto versus = [&](double ours, std::optional<double> peer, bool rate) {
        if (!peer) return std::string("-");
        return (rate ? text("%.2f M/s", count / *peer / 1e6) : text("%.3f s", *peer)) + text(", ours %.1fx faster", *peer / ours);
    };
    const double plyBytes = double(fs::file_size(files().ply));
    if (auto seconds = figure("ply read"))
        line("PLY read, one core: >= 8 M/s (2 GB/s)",
             text("%.2f M/s", count / *seconds / 1e6) + text(" %.2f GB/s", plyBytes / *seconds / 1e9),
             count / *seconds >= 8e6, versus(*seconds, peerNet("peer ply read"), true));
    if (auto seconds = figure("ply read streaming"))
        line("  (the same batch by batch, no scene block)", text("%.2f M/s", count / *seconds / 1e6), true, "");
    if (auto seconds = figure("spz read"))
        line("SPZ read: <= 0.25 s, >= 4x the peer", text("%.3f s", *seconds),
             *seconds <= 0.25 && *seconds * 4 <= peerNet("peer spz read").value_or(1e30),
             versus(*seconds, peerNet("peer spz read"), false));
    if (auto seconds = figure("spz write"))
        line("SPZ write: <= 1.0 s, >= 4x the peer", text("%.3f s", *seconds),
             *seconds <= 1.0 && *seconds * 4 <= peerSPZWrite.value_or(1e30), versus(*seconds, peerSPZWrite, false));
    for (const char* place : {"in memory", "on disk"})
        if (auto seconds = figure(std::string("converter ply to dotSplat ") + place))
            line(place == std::string("in memory") ? "PLY to .splat >= 5 M/s (SplatConverter, to memory)"
                                                   : "PLY to .splat >= 5 M/s (to disk, with fsync)",
                 text("%.2f M/s", count / *seconds / 1e6), count / *seconds >= 5e6, "no .splat output");
    for (const char* format : {"spz", "dotSplat", "ply-ascii"})
        if (auto ratio = figure(std::string("converter ply to ") + format + " on disk peak"))
            line((std::string("Converter peak <= 1.3x input, ply to ") + format).c_str(), text("%.2fx", *ratio),
                 *ratio <= 1.3, "");
    if (auto ratio = figure("converter spz to dotSplat in memory peak"))
        line("Converter peak <= 1.3x input, spz to dotSplat", text("%.2fx", *ratio), *ratio <= 1.3,
             "the inflated stream is held");
    if (auto ratio = figure("ply read peak"))
        line("PLY read peak <= 1.5x the file", text("%.2fx", *ratio), *ratio <= 1.5, "");
    for (const char* name : {"splat read", "splat write"})
        if (auto seconds = figure(name))
            line(name == std::string("splat read") ? ".splat read >= 5 M/s" : ".splat write >= 5 M/s",
                 text("%.2f M/s", count / *seconds / 1e6), count / *seconds >= 5e6, "");
    std::printf("(ply convert binary to binary: PlyKitBench)\n");
}

}  // namespace

// The memory measurements come first, while this process holds no scene: a
// child's peak counts at least what this process held when it forked
// (parent_MB).
BENCHMARK(BM_PLYReadPeakMemory)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_SPZReadPeakMemory)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ConverterFromPLY)
    ->ArgsProduct({{0, 1, 2}, {0}})
    ->Args({0, 1})
    ->Args({1, 1})
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConverterFromSPZ)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeerStartup)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeerReadPLY)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeerReadSPZ)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeerConvertPLYToSPZ)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PLYRead)->Unit(benchmark::kMillisecond)->Arg(0)->Arg(1);
BENCHMARK(BM_PLYReadStreaming)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SPZRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DotSplatRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PLYWrite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SPZWrite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DotSplatWrite)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    printTargets();
    benchmark::Shutdown();
    return 0;
}
