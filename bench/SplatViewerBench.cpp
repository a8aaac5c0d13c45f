// The viewer's two costs on this machine's llvmpipe, through the widget
// itself at 1280×720: loading a Gaussian PLY (read, chunk, locality order,
// install) and drawing a frame of it (on the viewer's render thread, read
// back and shown).
// Run under an X server: tests/support/with-xvfb.sh build/bench/SplatViewerBench

#include <QApplication>
#include <QElapsedTimer>
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>

#include "ViewerBenchScene.hpp"
#include "viewer/SplatRendererView.hpp"

namespace {

using tessaron::viewer::SplatRendererView;

// A binary degree-0 PLY of `count` splats spread like a trained scene's,
// written once per size into the temporary folder.
std::filesystem::path sceneFile(std::int64_t count) {
    const auto file = std::filesystem::temp_directory_path() /
                      ("tessaron-viewer-bench-" + std::to_string(count) + "-" + std::to_string(::getpid()) + ".ply");
    if (std::filesystem::exists(file)) return file;
    tessaron::viewer::bench::writeViewerBenchScene(file, count, 2);
    return file;
}

struct SceneFiles {
    std::vector<std::filesystem::path> files;
    ~SceneFiles() {
        for (const auto& file : files) std::filesystem::remove(file);
    }
};
SceneFiles written;

std::filesystem::path cachedSceneFile(std::int64_t count) {
    const auto file = sceneFile(count);
    if (std::find(written.files.begin(), written.files.end(), file) == written.files.end()) written.files.push_back(file);
    return file;
}

// Waits until the view shows `count` splats; false after a minute.
bool waitForScene(SplatRendererView& view, std::int64_t count) {
    QElapsedTimer clock;
    clock.start();
    while (view.sceneRenderer().currentSplatCount() != count || view.sceneRenderer().runningLoadCount() > 0) {
        if (clock.elapsed() > 60000) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

std::unique_ptr<SplatRendererView> shownView() {
    auto view = std::make_unique<SplatRendererView>();
    view->resize(1280, 720);
    view->show();
    QCoreApplication::processEvents();
    return view;
}

void BM_ViewerLoad(benchmark::State& state) {
    // Two names for the same scene, so that each iteration is a new load.
    const auto file = cachedSceneFile(state.range(0));
    auto copy = file;
    copy.replace_extension(".copy.ply");
    std::filesystem::copy_file(file, copy, std::filesystem::copy_options::overwrite_existing);
    written.files.push_back(copy);
    auto view = shownView();
    // Frames of the previous scene would hold up the installation.
    view->hide();
    bool first = true;
    for (auto _ : state) {
        view->setFileURL(first ? file : copy);
        first = !first;
        if (!waitForScene(*view, state.range(0))) state.SkipWithError("the scene did not load");
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ViewerLoad)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_ViewerFrame(benchmark::State& state) {
    auto view = shownView();
    double drawTimeMs = 0;
    std::int64_t frames = 0;
    view->setOnStatsUpdate([&](const tessaron::viewer::SplatViewerStats& stats) {
        drawTimeMs += stats.drawTimeMs;
        ++frames;
    });
    view->setFileURL(cachedSceneFile(state.range(0)));
    if (!waitForScene(*view, state.range(0))) state.SkipWithError("the scene did not load");
    view->setOrbitMode(true);
    // A frame asked for, drawn on the render thread and shown; a newer
    // depth order may add one more, which counts too.
    auto drawFrame = [&] {
        const std::int64_t before = frames;
        view->sceneRenderer().requestFrame();
        while (frames == before || view->sceneRenderer().isDrawing())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    };
    for (int warmUp = 0; warmUp < 3; ++warmUp) drawFrame();
    drawTimeMs = 0;
    frames = 0;
    for (auto _ : state) {
        view->sceneRenderer().camera.rotate(2, 0);  // each frame's camera moves a little
        drawFrame();
    }
    if (frames < std::int64_t(state.iterations())) state.SkipWithError("frames were skipped");
    if (frames > 0) state.counters["encodeMs"] = drawTimeMs / double(frames);
}
BENCHMARK(BM_ViewerFrame)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1);

}  // namespace

int main(int argc, char** argv) { return tessaron::viewer::bench::runViewerBenchmarks(argc, argv); }
