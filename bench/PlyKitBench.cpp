// Read and write throughput of PLY bodies: 1,000,000 Gaussians at SH degree 3
// (62 float properties, 248 bytes a vertex in binary) in each format, beside
// a plain memcpy of the same bytes. Throughput is reported as bytes/s of the
// file; items/s are Gaussians. Target: `ply convert` from binary to binary at
// least 1 GB/s, printed after the runs.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "PlyKit/PLYReader.hpp"
#include "PlyKit/PLYWriter.hpp"

namespace {

using plykit::PLYElement;
using plykit::PLYHeader;

constexpr std::uint32_t kGaussians = 1'000'000;
constexpr std::size_t kBatch = 4096;

PLYHeader gaussianHeader(PLYHeader::Format format) {
    PLYHeader header{format, "1.0", {{"vertex", kGaussians, {}}}};
    std::vector<std::string> names = {"x", "y", "z", "nx", "ny", "nz", "f_dc_0", "f_dc_1", "f_dc_2"};
    for (int i = 0; i < 45; ++i) names.push_back("f_rest_" + std::to_string(i));
    for (const char* name : {"opacity", "scale_0", "scale_1", "scale_2", "rot_0", "rot_1", "rot_2", "rot_3"})
        names.push_back(name);
    for (const auto& name : names)
        header.elements[0].properties.push_back(
            {name, PLYHeader::PropertyType::primitive(PLYHeader::PrimitivePropertyType::float32)});
    return header;
}

// One batch of Gaussian-like values, reused for every batch written.
const std::vector<PLYElement>& sampleBatch() {
    static const std::vector<PLYElement> batch = [] {
        std::mt19937 random(3);
        std::normal_distribution<float> normal(0.0f, 1.5f);
        std::vector<PLYElement> elements(kBatch);
        for (auto& element : elements)
            for (int p = 0; p < 62; ++p) element.properties.emplace_back(normal(random));
        return elements;
    }();
    return batch;
}

void writeGaussians(plykit::PLYWriter& writer, PLYHeader::Format format) {
    writer.write(gaussianHeader(format));
    const auto& batch = sampleBatch();
    for (std::uint32_t written = 0; written < kGaussians;) {
        std::size_t count = std::min<std::size_t>(kBatch, kGaussians - written);
        writer.write(batch, count);
        written += std::uint32_t(count);
    }
    writer.close();
}

const std::vector<std::uint8_t>& fileFor(PLYHeader::Format format) {
    static std::vector<std::uint8_t> files[3];
    auto& file = files[int(format)];
    if (file.empty()) {
        plykit::PLYWriter writer(plykit::WriterDestination::memory());
        writeGaussians(writer, format);
        file = *writer.writtenData();
    }
    return file;
}

// Where the written files go: a file in memory (/dev/shm), so that encoding
// and buffering are measured rather than a disk. Writers refuse devices such
// as /dev/null, so it has to be a regular file.
struct BenchOutput {
    std::filesystem::path path;
    BenchOutput() {
        std::filesystem::path folder = std::filesystem::is_directory("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                                                : std::filesystem::temp_directory_path();
        path = folder / ("plykit-bench-" + std::to_string(::getpid()) + ".ply");
    }
    ~BenchOutput() {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
};

const std::filesystem::path& outputPath() {
    static const BenchOutput output;
    return output.path;
}

// Writes a file in memory: encoding and buffering, without the cost of
// growing a 248 MB vector or of a disk.
void BM_Write(benchmark::State& state) {
    auto format = PLYHeader::Format(state.range(0));
    const std::size_t bytes = fileFor(format).size();
    for (auto _ : state) {
        plykit::PLYWriter writer(outputPath());
        writeGaussians(writer, format);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations() * bytes));
    state.SetItemsProcessed(std::int64_t(state.iterations() * kGaussians));
    state.SetLabel(std::string(plykit::toString(format)));
}

void BM_Read(benchmark::State& state) {
    auto format = PLYHeader::Format(state.range(0));
    const auto source = plykit::ReaderSource::memory(fileFor(format));
    const std::size_t bytes = fileFor(format).size();
    for (auto _ : state) {
        auto result = plykit::PLYReader(source).read();
        double sum = 0;
        for (const auto& series : result.elements)
            for (const auto& element : series.elements) sum += std::get<float>(element.properties[0].value());
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations() * bytes));
    state.SetItemsProcessed(std::int64_t(state.iterations() * kGaussians));
    state.SetLabel(std::string(plykit::toString(format)));
}

// What `ply convert` does: a binary little-endian body re-encoded batch by
// batch, here to a file in memory in the format of the first argument; the second
// is 1 for the vertices going over as bytes, as `ply convert` has them, 0 for
// decoding every value.
// Bytes per second of the fastest conversion as bytes, by output format, for
// the closing line: the machine is shared, and the others' work only ever
// adds to a pass.
std::map<PLYHeader::Format, double>& convertRates() {
    static std::map<PLYHeader::Format, double> rates;
    return rates;
}

void BM_Convert(benchmark::State& state) {
    auto format = PLYHeader::Format(state.range(0));
    const auto source = plykit::ReaderSource::memory(fileFor(PLYHeader::Format::binaryLittleEndian));
    const std::size_t bytes = fileFor(PLYHeader::Format::binaryLittleEndian).size();
    double fastest = 1e30;
    for (auto _ : state) {
        auto started = std::chrono::steady_clock::now();
        auto result = plykit::PLYReader(source).read();
        if (state.range(1) == 1) result.elements.deliverBytes(0);
        result.header.format = format;
        plykit::PLYWriter writer(outputPath());
        writer.write(result.header);
        for (const auto& series : result.elements) {
            if (series.elements.empty() && series.byteInstanceCount > 0)
                writer.writeEncoded(series.bytes, series.byteInstanceCount, false);
            else
                writer.write(series.elements);
        }
        writer.close();
        fastest = std::min(fastest, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    }
    if (state.range(1) == 1) convertRates()[format] = double(bytes) / fastest;
    state.SetBytesProcessed(std::int64_t(state.iterations() * bytes));
    state.SetItemsProcessed(std::int64_t(state.iterations() * kGaussians));
    state.SetLabel("binary_little_endian to " + std::string(plykit::toString(format)) +
                   (state.range(1) == 1 ? " as bytes" : " decoded"));
}

// The machine's reference: copying the binary body's bytes once.
void BM_Memcpy(benchmark::State& state) {
    const std::size_t bytes = std::size_t(kGaussians) * 248;
    std::vector<std::uint8_t> from(bytes, 1), to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations() * bytes));
}

constexpr int kLittle = int(PLYHeader::Format::binaryLittleEndian);
constexpr int kBig = int(PLYHeader::Format::binaryBigEndian);
constexpr int kASCII = int(PLYHeader::Format::ascii);

BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Write)->Arg(kLittle)->Arg(kBig)->Arg(kASCII)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Read)->Arg(kLittle)->Arg(kBig)->Arg(kASCII)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Convert)->ArgsProduct({{kLittle, kBig}, {1, 0}})->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    for (auto [format, rate] : convertRates())
        std::printf("ply convert binary_little_endian to %s (target >= 1 GB/s): %.2f GB/s, %s\n",
                    std::string(plykit::toString(format)).c_str(), rate / 1e9, rate >= 1e9 ? "met" : "NOT met");
    benchmark::Shutdown();
    return 0;
}
