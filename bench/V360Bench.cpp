// The yardstick for our 360° reprojection: FFmpeg's own v360 filter cutting
// the same sixteen 2048-pixel crops (100° field of view) out of a 3840 × 1920
// panorama, bilinear, with libavfilter's slice threads on every core. Compare
// its crops per second with InputBench's BM_ProjectCrops.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
}

#include "input/CropLayout.hpp"

namespace {

using namespace tessaron::input;

constexpr int panoramaWidth = 3840;
constexpr int panoramaHeight = 1920;

// One filter graph per crop direction: buffer → v360 → buffersink.
class V360Graph {
public:
    V360Graph(double yawDegrees, double pitchDegrees) : graph_(avfilter_graph_alloc()) {
        char sourceArguments[160];
        std::snprintf(sourceArguments, sizeof sourceArguments,
                      "video_size=%dx%d:pix_fmt=%d:time_base=1/25:pixel_aspect=1/1", panoramaWidth, panoramaHeight,
                      int(AV_PIX_FMT_BGRA));
        check(avfilter_graph_create_filter(&source_, avfilter_get_by_name("buffer"), "in", sourceArguments, nullptr,
                                           graph_),
              "buffer source");
        check(avfilter_graph_create_filter(&sink_, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, graph_),
              "buffer sink");
        AVFilterInOut* outputs = avfilter_inout_alloc();
        AVFilterInOut* inputs = avfilter_inout_alloc();
        outputs->name = av_strdup("in");
        outputs->filter_ctx = source_;
        inputs->name = av_strdup("out");
        inputs->filter_ctx = sink_;
        // v360's yaw turns right and its pitch looks up, as our crops do.
        std::string description = "v360=input=e:output=flat:w=2048:h=2048:h_fov=100:v_fov=100:interp=linear:yaw=" +
                                  std::to_string(yawDegrees) + ":pitch=" + std::to_string(pitchDegrees);
        int parsed = avfilter_graph_parse_ptr(graph_, description.c_str(), &inputs, &outputs, nullptr);
        avfilter_inout_free(&inputs);
        avfilter_inout_free(&outputs);
        check(parsed, "v360 graph");
        check(avfilter_graph_config(graph_, nullptr), "graph configuration");
    }
    ~V360Graph() { avfilter_graph_free(&graph_); }
    V360Graph(const V360Graph&) = delete;
    V360Graph& operator=(const V360Graph&) = delete;

    void crop(AVFrame* panorama, AVFrame* result) {
        check(av_buffersrc_add_frame_flags(source_, panorama, AV_BUFFERSRC_FLAG_KEEP_REF), "frame in");
        check(av_buffersink_get_frame(sink_, result), "frame out");
        av_frame_unref(result);
    }

private:
    static void check(int status, const char* what) {
        if (status < 0) throw std::runtime_error(std::string("v360: ") + what + " failed (" + std::to_string(status) + ")");
    }

    AVFilterGraph* graph_;
    AVFilterContext* source_ = nullptr;
    AVFilterContext* sink_ = nullptr;
};

void BM_V360Crops(benchmark::State& state) {
    AVFrame* panorama = av_frame_alloc();
    panorama->width = panoramaWidth;
    panorama->height = panoramaHeight;
    panorama->format = AV_PIX_FMT_BGRA;
    if (av_frame_get_buffer(panorama, 64) < 0) {
        state.SkipWithError("could not allocate the panorama");
        return;
    }
    std::mt19937 random(7);
    for (int row = 0; row < panoramaHeight; ++row)
        for (int column = 0; column < panoramaWidth * 4; ++column)
            panorama->data[0][row * panorama->linesize[0] + column] = uint8_t(random());
    AVFrame* result = av_frame_alloc();

    std::vector<std::unique_ptr<V360Graph>> graphs;
    for (const CropSpec& crop : CropLayout(CropLayoutPreset::fullSphere16, 2048, 100).crops)
        // v360 takes yaw within ±180°.
        graphs.push_back(std::make_unique<V360Graph>(crop.yawDegrees > 180 ? crop.yawDegrees - 360 : crop.yawDegrees,
                                                     crop.pitchDegrees));

    int64_t pts = 0;
    for (auto _ : state) {
        for (auto& graph : graphs) {
            panorama->pts = pts++;
            graph->crop(panorama, result);
        }
    }
    state.SetItemsProcessed(state.iterations() * int64_t(graphs.size()));
    av_frame_free(&result);
    av_frame_free(&panorama);
}
BENCHMARK(BM_V360Crops)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
