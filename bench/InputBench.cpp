// Input preparation speeds: decoding and the blur filter's share of it, and
// the 360° reprojection in crops per second.
// V360Bench times FFmpeg's own v360 filter on the same crops.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <unistd.h>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "input/EquirectProjector.hpp"
#include "input/VideoFrameExtractor.hpp"
#include "input/VideoSource.hpp"

namespace {

using namespace tessaron::input;
namespace fs = std::filesystem;

constexpr int frameCount = 24;

// A 1920 × 1080 MJPEG clip with real texture, made once per process in a
// folder that goes away with it.
struct BenchClip {
    fs::path folder = fs::temp_directory_path() / ("tessaron-input-bench-" + std::to_string(::getpid()));
    fs::path file = folder / "clip.avi";

    BenchClip() {
        fs::create_directories(folder);
        cv::VideoWriter writer(file.string(), cv::CAP_OPENCV_MJPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30,
                               cv::Size(1920, 1080));
        cv::Mat frame(1080, 1920, CV_8UC3);
        cv::RNG random(7);
        for (int i = 0; i < frameCount; ++i) {
            random.fill(frame, cv::RNG::UNIFORM, 0, 256);
            cv::GaussianBlur(frame, frame, cv::Size(0, 0), 1.5);
            writer.write(frame);
        }
    }
    ~BenchClip() {
        std::error_code error;
        fs::remove_all(folder, error);
    }
};

const BenchClip& clip() {
    static const BenchClip made;
    return made;
}

void BM_DecodeFrames(benchmark::State& state) {
    clip();
    for (auto _ : state) {
        VideoSource source(clip().file);
        cv::Mat frame;
        while (source.readFrame(frame)) benchmark::DoNotOptimize(frame.data);
    }
    state.SetItemsProcessed(state.iterations() * frameCount);
}
BENCHMARK(BM_DecodeFrames)->Unit(benchmark::kMillisecond);

void BM_Sharpness1080p(benchmark::State& state) {
    cv::Mat frame(1080, 1920, CV_8UC4);
    cv::randu(frame, 0, 256);
    for (auto _ : state) benchmark::DoNotOptimize(VideoFrameExtractor::sharpness(frame));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Sharpness1080p)->Unit(benchmark::kMicrosecond);

// Every frame kept (stride 1), with and without the filter (threshold 0, so
// scored frames are still written).
void BM_ExtractFrames(benchmark::State& state) {
    const fs::path output = clip().folder / "frames";
    for (auto _ : state) {
        VideoFrameExtractor::extractFrames(clip().file, output, 1, state.range(0) != 0, 0.0);
        state.PauseTiming();
        fs::remove_all(output);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * frameCount);
}
BENCHMARK(BM_ExtractFrames)->Arg(0)->Arg(1)->ArgName("filter")->Unit(benchmark::kMillisecond);

// 2048-pixel crops from a 3840 × 1920 panorama, maps already built.
void BM_ProjectCrops(benchmark::State& state) {
    cv::Mat panorama(1920, 3840, CV_8UC4);
    cv::randu(panorama, 0, 256);
    EquirectProjector projector(CropLayout(CropLayoutPreset::fullSphere16, 2048, 100));
    projector.project(panorama);
    for (auto _ : state) benchmark::DoNotOptimize(projector.project(panorama).size());
    state.SetItemsProcessed(state.iterations() * 16);
}
BENCHMARK(BM_ProjectCrops)->Unit(benchmark::kMillisecond);

// Building the sampling maps, once per 360° run.
void BM_ProjectorMaps(benchmark::State& state) {
    cv::Mat panorama(1920, 3840, CV_8UC4, cv::Scalar(0, 0, 0, 255));
    for (auto _ : state) {
        EquirectProjector projector(CropLayout(CropLayoutPreset::fullSphere16, 2048, 100));
        benchmark::DoNotOptimize(projector.project(panorama).size());
    }
}
BENCHMARK(BM_ProjectorMaps)->Unit(benchmark::kMillisecond);

}  // namespace
BENCHMARK_MAIN();
