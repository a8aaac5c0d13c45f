#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/Error.hpp"
#include "engines/ProcessRunner.hpp"
#include "engines/TrainingLimits.hpp"

namespace tessaron::engines {

// Runs the training engine `trevik` on a prepared dataset: finds the
// executable, builds its command line from the training settings, forwards
// every engine line to `onLog`, extracts the live statistics and turns a
// failed exit into a TrevikError.
//
// Threads: `run` blocks the caller's (run) thread. Engine lines, and with
// them `parseStats` and `onStats`, arrive on the ProcessRunner's delivery
// queue, one at a time. The callbacks are plain members without a lock: the
// owner sets them before `run` and leaves them alone while it runs.
class TrevikRunner {
public:
    enum class TrevikErrorKind { trainingFailed };

    // "trevik stopped by signal <n>" when a signal ended the engine,
    // otherwise "trevik training failed (exit <code>)" (-1 when no code).
    class TrevikError : public core::ErrorOf<TrevikErrorKind> {
    public:
        static TrevikError trainingFailed(std::optional<int32_t> exitCode, std::optional<int32_t> signal,
                                          std::optional<std::string> cause = std::nullopt);

        // The description followed by the engine's own reason, when it gave
        // one: "trevik training failed (exit 1): image a.jpg refers to ...".
        std::string describedWithCause() const;

        std::optional<int32_t> exitCode;
        std::optional<int32_t> signal;
        // What the engine said on its last "error: " line, without that
        // prefix; none when it said nothing of the kind.
        std::optional<std::string> cause;

    private:
        using core::ErrorOf<TrevikErrorKind>::ErrorOf;
    };

    // How the engine begins the line that says its training left the
    // held-out photos worse than the untrained seeds.
    static constexpr const char* qualityFellWarning = "warning: training lowered the held-out PSNR below the seeds'";

    // One training run's settings, every field named and defaulted.
    struct Options {
        std::string datasetPath = {};
        std::string outputPath = {};  // the engine writes its PLY here
        int iterations = 30000;
        int downscale = 1;      // 2 and above are passed on
        bool evalMode = false;  // hold out an evaluation split
        int64_t capMax = 1000000;  // Gaussians
        bool diagnostics = false;  // the engine's benchmark and profiling output
        std::optional<float> cullRadius = {};
        std::optional<double> earlyStop = {};  // used only with evalMode
        std::optional<std::string> maskDir = {};

        // Throws OptionsError naming the first field out of range
        // (TrainingLimits for the numbers).
        void check() const;
    };

    class OptionsError : public core::Error {
    public:
        using core::Error::Error;
    };

    // With no path: Resources/trevik beside the executable, then the build
    // tree's Resources/trevik, then the bare name "trevik" (a path relative
    // to the current folder; no search path).
    explicit TrevikRunner(std::optional<std::string> trevikPath = std::nullopt);
    TrevikRunner(const TrevikRunner&) = delete;
    TrevikRunner& operator=(const TrevikRunner&) = delete;

    // Runs the engine once and returns when it exited with status 0. Throws
    // OptionsError before anything runs, TrevikError for any other status,
    // and the ProcessRunner's errors (CancellationError when latched, the
    // launch error) unchanged.
    void run(const Options& options);

    // The engine's arguments for these settings, without the executable.
    static std::vector<std::string> arguments(const Options& options);

    // Reads "step=K ... splats=N ... X.Yms/step" from one engine line and
    // reports it to `onStats` when the step is at least 1.
    void parseStats(const std::string& line);

    const std::string& trevikPath() const noexcept { return trevikPath_; }
    // The child process runner, through which the owner cancels, kills and
    // polls the engine.
    ProcessRunner& runner() noexcept { return runner_; }

    std::function<void(const std::string&)> onLog;
    std::function<void(int64_t step, int64_t splats, float msPerStep)> onStats;
    std::function<void(int32_t pid)> onPidLaunched;

private:
    ProcessRunner runner_;
    std::string trevikPath_;
};

}  // namespace tessaron::engines
