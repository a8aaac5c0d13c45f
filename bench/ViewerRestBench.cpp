// The main window with a model in the Final step's viewer, on this
// machine's llvmpipe (no GPU), as a user meets it:
// - BM_ApplicationAtRest: the process's CPU use, in cores, while a
//   100,000-Gaussian model is shown after an orbit drag and nothing moves
//   (goal: under 0.1 core);
// - BM_HeavySceneBlocksTheWindow: the longest time the GUI thread does not
//   come back to its event loop while the heavy scene (200,000 large, faint,
//   overlapping Gaussians, 50 MB) is opened, orbited and left for the Input
//   step and back (goal: under 0.2 s), with the GUI thread's own processor
//   time in that stretch and the machine's load average beside it.
// Run under an X server: xvfb-run -a build/bench/ViewerRestBench

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <ctime>
#include <fstream>

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>

#include "ViewerBenchScene.hpp"
#include "core/PreferenceStore.hpp"
#include "generators/HeavySplatScene.hpp"
#include "viewer/SplatRendererView.hpp"
#include "viewmodel/PipelineViewModel.hpp"
#include "views/MainDashboardView.hpp"
#include "views/MainWindow.hpp"
#include "views/StepBackgroundView.hpp"

namespace {

namespace fs = std::filesystem;
using tessaron::viewmodel::PipelineViewModel;
using tessaron::viewmodel::WorkflowStep;
using Kind = tessaron::pipeline::PipelineState::Kind;

// Runs the event loop (asleep while it has nothing to do, as the
// application's own) until `done` holds, looking every 10 ms; false after
// `seconds`.
bool runUntil(const std::function<bool()>& done, double seconds = 120) {
    if (done()) return true;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done()) loop.quit();
    });
    check.start(10);
    QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}

// Runs the event loop for `seconds` with no timer of its own.
void runFor(double seconds) {
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

double processCPUSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The window on a view model of its own (settings and support folder in a
// temporary folder), showing `model` as a finished run's result.
struct Application {
    QTemporaryDir folder;
    tessaron::core::InMemoryPreferenceStore defaults;
    std::unique_ptr<PipelineViewModel> model;
    std::unique_ptr<tessaron::views::MainWindow> window;
    bool exposed = false;

    Application() {
        defaults.setString("hasSeenWelcomeTour", "true");
        PipelineViewModel::Configuration configuration;
        configuration.manager.supportFolder = folder.path().toStdString();
        model = std::make_unique<PipelineViewModel>(configuration);
        window = std::make_unique<tessaron::views::MainWindow>(
            *model, defaults, tessaron::views::ModelOperations::standard(), tessaron::views::ApplicationActions{});
        window->resize(1280, 800);
        window->show();
        exposed = QTest::qWaitForWindowExposed(window.get());
    }
    ~Application() {
        window.reset();
        model.reset();
    }

    tessaron::viewer::SplatRendererView* viewer() const { return window->dashboard().centrePane()->viewerView(); }

    bool open(const fs::path& file, std::int64_t count) {
        model->setOutputPlyPath(QString::fromStdString(file.string()));
        model->setCurrentState(Kind::completed);
        return runUntil([&] {
            auto* view = viewer();
            return view && view->sceneRenderer().currentSplatCount() == count && view->sceneRenderer().isAtRest();
        });
    }

    // A drag across the viewer, in steps a pointer makes 30 ms apart, the
    // event loop running between them.
    void orbitDrag(int steps) {
        auto* view = viewer();
        const QPoint start = view->rect().center();
        QTest::mousePress(view, Qt::LeftButton, {}, start);
        for (int step = 1; step <= steps; ++step) {
            QTest::mouseMove(view, start + QPoint(4 * step, step));
            runFor(0.03);
        }
        QTest::mouseRelease(view, Qt::LeftButton, {}, start + QPoint(4 * steps, steps));
    }
};

void BM_ApplicationAtRest(benchmark::State& state) {
    Application application;
    const fs::path file = fs::path(application.folder.path().toStdString()) / "model.ply";
    tessaron::viewer::bench::writeViewerBenchScene(file, state.range(0), 1.2f);
    application.window->dashboard().finalViewer().setOrbit(true);
    if (!application.open(file, state.range(0))) state.SkipWithError("the model did not open");
    application.orbitDrag(20);
    if (!runUntil([&] { return application.viewer()->sceneRenderer().isAtRest(); }))
        state.SkipWithError("the viewer did not come to rest");
    double cores = 0;
    std::int64_t framesAtRest = 0;
    for (auto _ : state) {
        const std::int64_t drawn = application.viewer()->sceneRenderer().drawnFrameCount();
        QElapsedTimer wall;
        wall.start();
        const double cpu = processCPUSeconds();
        runFor(5);
        cores = (processCPUSeconds() - cpu) / (double(wall.nsecsElapsed()) / 1e9);
        framesAtRest += application.viewer()->sceneRenderer().drawnFrameCount() - drawn;
    }
    state.counters["cores"] = cores;
    state.counters["framesAtRest"] = double(framesAtRest);
}
BENCHMARK(BM_ApplicationAtRest)->Arg(100'000)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

void BM_HeavySceneBlocksTheWindow(benchmark::State& state) {
    Application application;
    const fs::path file = fs::path(application.folder.path().toStdString()) / "heavy.ply";
    tessaron::generators::writeHeavySplatScene(file);
    application.window->dashboard().finalViewer().setOrbit(true);

    // A timer of 1 ms: the longest wait between its ticks is the longest
    // the GUI thread was held away from its event loop. On a machine that
    // other work keeps busy that wait stretches with the rasteriser's
    // threads' share of the processors, so the GUI thread's own processor
    // time between ticks is given too.
    QElapsedTimer clock;
    clock.start();
    qint64 lastTick = 0, longestGap = 0;
    double lastCPU = 0, longestCPU = 0;
    auto threadCPUSeconds = [] {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
    };
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        const double cpu = threadCPUSeconds();
        longestGap = std::max(longestGap, now - lastTick);
        longestCPU = std::max(longestCPU, cpu - lastCPU);
        lastTick = now;
        lastCPU = cpu;
    });
    double scale = 1;
    std::int64_t drawn = 0;
    for (auto _ : state) {
        lastTick = clock.nsecsElapsed();
        lastCPU = threadCPUSeconds();
        ticker.start();
        if (!application.open(file, 200'000)) state.SkipWithError("the heavy scene did not open");
        application.orbitDrag(10);
        runUntil([&] { return application.viewer()->sceneRenderer().isAtRest(); });
        application.window->dashboard().selectStep(WorkflowStep::input);
        runFor(0.5);
        application.window->dashboard().selectStep(WorkflowStep::final);
        runUntil([&] {
            auto* view = application.viewer();
            return view && view->sceneRenderer().currentSplatCount() == 200'000 && view->sceneRenderer().isAtRest();
        });
        ticker.stop();
        if (auto frame = application.viewer()->sceneRenderer().lastFrame()) scale = frame->resolutionScale;
        drawn = application.viewer()->sceneRenderer().drawnFrameCount();
    }
    state.counters["longestBlockSeconds"] = double(longestGap) / 1e9;
    state.counters["longestBlockGUICPUSeconds"] = longestCPU;
    state.counters["loadAverage"] = [] {
        double load = 0;
        std::ifstream("/proc/loadavg") >> load;
        return load;
    }();
    state.counters["resolutionScale"] = scale;
    state.counters["framesDrawn"] = double(drawn);
}
BENCHMARK(BM_HeavySceneBlocksTheWindow)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) { return tessaron::viewer::bench::runViewerBenchmarks(argc, argv); }
