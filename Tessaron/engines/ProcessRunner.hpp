#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/Error.hpp"
#include "core/SerialQueue.hpp"

namespace tessaron::core {
class TextLines;
}

namespace tessaron::engines {

// The one way the application runs an external program: one child at a time,
// its standard output and standard error delivered as whole text lines, a
// flood of standard-error lines limited, and a cancel latch that stops the
// current child and refuses further launches until it is cleared.
//
// Thread ownership: `process_`, `processRunning_` and `cancelLatched_` are
// guarded by `launchLock_`; the three stderr window fields are touched only on
// `stderrQueue_`. `run` is called on the owner's worker thread; `cancel`,
// `kill`, `resetCancel` and `isRunning` from any thread. The runner must
// outlive every `run` in progress.
class ProcessRunner {
public:
    enum class ErrorKind { launchFailed, childLost };

    // `what()` is the system's own description, prefixed with the path it
    // concerns ("/usr/bin/nope: No such file or directory").
    class ProcessError : public core::ErrorOf<ErrorKind> {
    public:
        ProcessError(ErrorKind kind, int systemCode, const std::string& description)
            : ErrorOf(kind, description), systemCode_(systemCode) {}
        int systemCode() const noexcept { return systemCode_; }

    private:
        int systemCode_;
    };

    // One child to run, every field named. No shell is involved.
    struct Options {
        std::string executablePath = {};
        std::vector<std::string> arguments = {};  // without argv[0]
        std::optional<std::string> workingDirectory = {};  // none: this process's
        // Laid over this process's environment without its "TREVIK_" variables.
        std::optional<std::map<std::string, std::string>> environment = {};

        // Throws OptionsError naming the first field out of range.
        void check() const;
    };

    class OptionsError : public core::Error {
    public:
        using core::Error::Error;
    };

    using OutputHandler = std::function<void(const std::string& line)>;
    using PidHandler = std::function<void(int32_t pid)>;

    static constexpr int kStderrLinesPerWindow = 200;
    static constexpr std::chrono::seconds kStderrWindow{1};
    // How long a run waits, after its child ended, for descendants that still
    // hold the output pipes. Then the run stops reading and returns: no reader
    // outlives it, so such a descendant gets EPIPE (or SIGPIPE) on its next
    // write instead of having its output read and dropped.
    static constexpr std::chrono::seconds kDrainLimit{10};

    ProcessRunner();
    ~ProcessRunner();
    ProcessRunner(const ProcessRunner&) = delete;
    ProcessRunner& operator=(const ProcessRunner&) = delete;

    // Runs one child to its end and returns its exit status, or the negated
    // signal number when a signal ended it. The child gets this process's
    // environment without "TREVIK_" variables, with `options.environment`
    // laid over it, and inherits standard input. `onOutput` is called on the
    // runner's serial queue, one line at a time, in order, never after `run`
    // has returned. `onPidLaunched` is called on this thread right after the
    // launch. Throws OptionsError for unusable options, core::CancellationError
    // when the latch is set and ProcessError when the system refuses the
    // launch; nothing is started in any of these cases. An exception thrown by
    // `onPidLaunched` is rethrown once the child has ended and its output has
    // been delivered.
    int32_t run(const Options& options, OutputHandler onOutput, PidHandler onPidLaunched = {});

    void resetCancel();
    // Latches, then sends SIGTERM to a running child.
    void cancel();
    // Latches, then sends SIGKILL to a running child.
    void kill();
    bool isRunning() const;

private:
    struct Delivery;
    struct LaunchPlan;

    void resetStderrWindow();
    pid_t launch(LaunchPlan& plan);
    void signalRunningChild(int signalNumber);
    int32_t awaitTermination(pid_t pid);
    void deliverStderrLines(const core::TextLines& lines, Delivery& delivery);

    mutable std::mutex launchLock_;
    std::optional<pid_t> process_;  // the child most recently launched, kept after it ended
    bool processRunning_ = false;   // false once the child has ended, before it is reaped
    bool cancelLatched_ = false;

    std::chrono::steady_clock::time_point stderrWindowStart_;
    int stderrWindowCount_ = 0;
    int stderrSuppressed_ = 0;
    // Last member: its destructor finishes queued work while the fields above
    // still exist.
    core::SerialQueue stderrQueue_{"com.tessaron.stderr"};
};

}  // namespace tessaron::engines
