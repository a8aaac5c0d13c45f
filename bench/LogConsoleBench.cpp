// How long one flush of the step log holds the GUI thread in the log
// drawer's console: the new text appended and the console repainted, with
// COLMAP-like lines. The target is 50 ms for a flush of 2,000 lines.
// Run: QT_QPA_PLATFORM=offscreen build/bench/LogConsoleBench

#include <QApplication>
#include <QString>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "views/LogConsoleView.hpp"

namespace {

using tessaron::views::LogConsoleView;

QString lines(int from, int to) {
    QString text;
    for (int line = from; line < to; ++line)
        text += QStringLiteral("I20260107 12:00:00.%1 feature_matching.cc:255] Matching block [%2/60, 1/1] in 0.0%3s\n")
                    .arg(line % 1000, 3, 10, QLatin1Char('0'))
                    .arg(line % 60 + 1)
                    .arg(line % 97);
    return text;
}

// Times the console going from `before` to `after`: the new text set and
// the console repainted. The worst iteration is reported too.
void timeChange(benchmark::State& state, const QString& before, const QString& after) {
    LogConsoleView console(QStringLiteral("Logs will appear here..."));
    console.resize(368, 220);
    console.show();
    double worstMs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        console.setLogText(QString());
        console.setLogText(before);
        console.repaint();
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        console.setLogText(after);
        console.repaint();
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        worstMs = std::max(worstMs, ms);
    }
    state.counters["worstMs"] = worstMs;
}

// A console already holding `state.range(0)` lines takes a flush of
// `state.range(1)` new lines.
void BM_ConsoleFlush(benchmark::State& state) {
    const int held = int(state.range(0));
    const QString before = lines(0, held);
    timeChange(state, before, before + lines(held, held + int(state.range(1))));
}
BENCHMARK(BM_ConsoleFlush)->Args({2000, 2000})->Args({0, 2000})->Args({2000, 20})->Unit(benchmark::kMillisecond);

// The model cut its log of 4,000 lines back to the newest 2,000: the console
// shows the new text whole.
void BM_ConsoleCutBack(benchmark::State& state) { timeChange(state, lines(0, 4000), lines(2000, 4000)); }
BENCHMARK(BM_ConsoleCutBack)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    bool listingOnly = false;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--benchmark_list_tests", 22) == 0) listingOnly = true;
    benchmark::Initialize(&argc, argv);
    // Plain widgets need no display.
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::unique_ptr<QApplication> application;
    if (!listingOnly) application = std::make_unique<QApplication>(argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
