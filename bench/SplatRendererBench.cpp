// The splat renderer's two costs. Targets: a sort pass (fill, sort and
// write) of 1,000,000 splats in 15 ms and of 4,000,000 in 60 ms on 8 cores
// (a plain comparison sort took 94 ms and 424 ms; its benchmark stands
// beside for reference). Frame time of 100,000 splats at 1280×720 on
// llvmpipe is reported, with the time spent in render() alone.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>

#include "SplatRenderer/DepthOrder.hpp"
#include "SplatRenderer/HeadlessGLContext.hpp"
#include "SplatRenderer/OffscreenFramebuffer.hpp"
#include "SplatRenderer/SplatRenderer.hpp"
#include "SplatRenderer/StillFrame.hpp"

namespace {

using namespace splatrenderer;

const GPUDevice llvmpipe(134217728);

// Splats spread like a trained scene's, in chunks as large as the device
// allows.
std::vector<ChunkReference> sceneChunks(std::int64_t count) {
    std::mt19937 generator(11);
    std::normal_distribution<float> spread(0, 5);
    std::vector<ChunkReference> chunks;
    const std::int64_t perChunk = GPUBuffer<EncodedSplatPoint>::maxCapacity(llvmpipe);
    for (std::int64_t first = 0; first < count; first += perChunk) {
        const std::int64_t size = std::min(perChunk, count - first);
        auto records = std::make_shared<GPUBuffer<EncodedSplatPoint>>(llvmpipe, size);
        for (std::int64_t i = 0; i < size; ++i) {
            EncodedSplatPoint record;
            record.position = {spread(generator), spread(generator), spread(generator)};
            records->append(record);
        }
        chunks.push_back({std::uint16_t(chunks.size()), std::move(records)});
    }
    return chunks;
}

void BM_SortPass(benchmark::State& state) {
    const auto chunks = sceneChunks(state.range(0));
    DepthOrder order;
    GPUBuffer<ChunkedSplatIndex> target(llvmpipe, state.range(0));
    ParallelWorkers workers(ParallelWorkers::defaultMemberCount());
    float cameraX = 0;
    for (auto _ : state) {
        order.fill(chunks, {cameraX, 1, 20}, &workers);
        order.sortInto(target, &workers);
        benchmark::DoNotOptimize(target.values());
        cameraX += 0.01f;  // each frame's camera moves a little
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.counters["members"] = workers.memberCount();
}
BENCHMARK(BM_SortPass)->Arg(1'000'000)->Arg(4'000'000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ComparisonSortPass(benchmark::State& state) {
    const auto chunks = sceneChunks(state.range(0));
    struct Entry {
        ChunkedSplatIndex reference;
        float depth;
    };
    std::vector<Entry> entries;
    GPUBuffer<ChunkedSplatIndex> target(llvmpipe, state.range(0));
    for (auto _ : state) {
        entries.clear();
        for (const auto& chunk : chunks)
            for (std::uint32_t splat = 0; splat < chunk.buffer->count(); ++splat) {
                const auto& p = chunk.buffer->values()[splat].position;
                entries.push_back({{chunk.chunkIndex, splat}, p[0] * p[0] + (p[1] - 1) * (p[1] - 1) + (p[2] - 20) * (p[2] - 20)});
            }
        std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.depth > b.depth; });
        for (std::size_t i = 0; i < entries.size(); ++i) target.values()[i] = entries[i].reference;
        benchmark::DoNotOptimize(target.values());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ComparisonSortPass)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->UseRealTime();

// A renderer with 100,000 splats in front of the camera, at 1280×720.
struct FrameFixture {
    HeadlessGLContext context;
    SplatRenderer renderer{GPUDevice::current(), SplatRenderer::Configuration{}};
    OffscreenFramebuffer framebuffer{1280, 720, false};
    ViewportDescriptor view;

    explicit FrameFixture(std::size_t splatCount) {
        std::mt19937 generator(3);
        std::normal_distribution<float> spread(0, 2);
        std::uniform_int_distribution<int> channel(0, 255);
        std::vector<SplatPoint> points;
        for (std::size_t i = 0; i < splatCount; ++i)
            points.emplace_back(
                splatformats::Vector3{spread(generator), spread(generator), spread(generator)},
                SplatPoint::Color::sRGBUInt8({std::uint8_t(channel(generator)), std::uint8_t(channel(generator)), 90}),
                SplatPoint::Opacity::linearUInt8(200), SplatPoint::Scale::linearFloat({0.03f, 0.05f, 0.02f}),
                splatformats::Quaternion{0.1f, 0.2f, 0.3f, 0.9f});
        renderer.add(points);
        view.viewport = {0, 0, 1280, 720, 0, 1};
        view.projectionMatrix = Matrix4::perspective(1.0f, 1280.0f / 720.0f, 0.1f, 1000);
        view.screenSize = {1280, 720};
        look(0);
        StillFrame::render(renderer, view, framebuffer.name(), 60);
    }

    void look(float angle) {
        view.viewMatrix = Matrix4::lookAt({9 * std::sin(angle), 1, 9 * std::cos(angle)}, {0, 0, 0}, {0, 1, 0});
    }
};

void BM_FrameTime(benchmark::State& state) {
    FrameFixture fixture(std::size_t(state.range(0)));
    float angle = 0;
    for (auto _ : state) {
        fixture.look(angle += 0.01f);
        if (!fixture.renderer.render(fixture.view, fixture.framebuffer.name(), 1, 1)) state.SkipWithError("no frame");
        fixture.renderer.finishFrames();
    }
}
BENCHMARK(BM_FrameTime)->Arg(100'000)->Unit(benchmark::kMillisecond)->UseRealTime();

// Times render() alone; the GPU work is finished outside the timing.
void timeRenderCalls(benchmark::State& state, FrameFixture& fixture) {
    float angle = 0;
    for (auto _ : state) {
        fixture.look(angle += 0.01f);
        if (!fixture.renderer.render(fixture.view, fixture.framebuffer.name(), 1, 1)) state.SkipWithError("no frame");
        state.PauseTiming();
        fixture.renderer.finishFrames();
        state.ResumeTiming();
    }
}

// On llvmpipe render() includes the projection (compute runs when it is
// dispatched) and the vertex stage, not the rasterisation.
void BM_RenderCall(benchmark::State& state) {
    FrameFixture fixture(std::size_t(state.range(0)));
    timeRenderCalls(state, fixture);
}
BENCHMARK(BM_RenderCall)->Arg(100'000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The renderer's own CPU work per frame, with the GPU work made nearly
// nothing: the only chunk is disabled, so every splat is dropped at once.
void BM_FrameCPUCost(benchmark::State& state) {
    FrameFixture fixture(std::size_t(state.range(0)));
    fixture.renderer.setChunkEnabled(fixture.renderer.orderedChunkIDs().front(), false);
    timeRenderCalls(state, fixture);
}
BENCHMARK(BM_FrameCPUCost)->Arg(100'000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
