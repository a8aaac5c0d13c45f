#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "core/Error.hpp"
#include "engines/ProcessRunner.hpp"
#include "engines/SplatOutputFormat.hpp"

namespace tessaron::engines {

// Converts one splat file per call into another format by running an outside
// converter as a child process: our own SplatConverter for spz, .splat and
// ASCII PLY, splat-transform for the others. Picks an output name at which
// nothing exists, checks the exit status and the written file, and reports
// progress lines through `onLog`.
//
// Threads: `convert` blocks the calling (worker) thread. `onLog` is called on
// that thread for progress lines and on the ProcessRunner's delivery queue for
// the child's lines; it is guarded by its own lock, so the owner may replace
// it at any time, and it is never called with that lock held.
class SplatConverterRunner {
public:
    enum class ConverterErrorKind { inputMissing, outputMissing, backendMissing, unsupportedFormat, exit, unreadableInput };

    class ConverterError : public core::ErrorOf<ConverterErrorKind> {
    public:
        static ConverterError inputMissing(const std::string& path);
        // Our own reader refused the input (its message, unchanged), or the
        // input is a compressed PLY cut short or given to our own converter.
        static ConverterError unreadableInput(const std::string& readerMessage);
        static ConverterError outputMissing(const std::string& path);
        static ConverterError backendMissing(const std::string& message);
        static ConverterError unsupportedFormat(std::string_view rawValue);
        static ConverterError exit(int32_t status);

        // The child's status for `exit`, absent otherwise.
        std::optional<int32_t> status;

    private:
        using core::ErrorOf<ConverterErrorKind>::ErrorOf;
    };

    static constexpr std::string_view splatConverterMissingMessage = "SplatConverter not found in app bundle.";
    static constexpr std::string_view splatTransformMissingMessage =
        "splat-transform not installed. Install with:\n  npm install -g @playcanvas/splat-transform";

    using LogHandler = std::function<void(const std::string& line)>;

    explicit SplatConverterRunner(std::shared_ptr<ProcessRunner> runner);
    virtual ~SplatConverterRunner();
    SplatConverterRunner(const SplatConverterRunner&) = delete;
    SplatConverterRunner& operator=(const SplatConverterRunner&) = delete;

    // The runner of every child of this converter; its owner cancels through it.
    ProcessRunner& processRunner() const noexcept { return *runner_; }

    LogHandler onLog() const;
    void setOnLog(LogHandler handler);

    // Converts `input` into `outputDirectory` and returns the written file.
    // Before splat-transform is given a file of a format our readers know
    // (.ply, .splat, .spz), the file is read through once, a batch at a
    // time: what they refuse (a truncated PLY, which splat-transform would
    // fill with zeros) is refused with their message, and nothing runs. A
    // .ply in splat-transform's compressed layout, which our readers do not
    // take, is checked by its header and size alone and goes to
    // splat-transform whole; our own converter's formats refuse it by name.
    // A stop request ends a running child with SIGTERM (an `exit` error with
    // status -15) or refuses its launch (core::CancellationError). A failed or
    // cancelled conversion removes what its child left at the output's name.
    // Throws ConverterError, core::CancellationError and the ProcessRunner's
    // launch errors.
    virtual std::filesystem::path convert(const std::filesystem::path& input, SplatOutputFormat format,
                                          const std::filesystem::path& outputDirectory, std::stop_token stop = {});

    // The first free name: <base><ext>, <base>-converted<ext>, then
    // <base>-converted-2<ext>, -3, ... A name is taken when anything exists
    // there or when it is the input itself. Reads the file system only.
    virtual std::filesystem::path outputURL(const std::filesystem::path& input, SplatOutputFormat format,
                                            const std::filesystem::path& directory) const;

    // Run one backend for one file; return when its child ended with status 0.
    virtual void runResourceConverter(const std::filesystem::path& input, const std::filesystem::path& output,
                                      SplatOutputFormat format);
    virtual void runSplatTransform(const std::filesystem::path& input, const std::filesystem::path& output);

    // Where the backends are installed, or absent.
    static std::optional<std::filesystem::path> resourceConverterPath();
    static std::optional<std::filesystem::path> splatTransformPath();

    // Where splat-transform is looked for, in order: each folder of
    // `searchPath`, the project's own install, then npm's global prefix + /bin.
    struct SplatTransformPlaces {
        std::string searchPath;
        std::filesystem::path projectInstall;  // the folder that holds the program
        std::function<std::optional<std::filesystem::path>()> npmGlobalPrefix;
    };
    static SplatTransformPlaces systemSplatTransformPlaces();
    static std::optional<std::filesystem::path> splatTransformPath(const SplatTransformPlaces& places);

    // The child's PATH: the folders of splat-transform and of node first, then
    // the inherited PATH (a Node script finds its interpreter through it).
    static std::string splatTransformSearchPath(const std::filesystem::path& tool,
                                                const std::optional<std::filesystem::path>& node,
                                                const std::string& inheritedPath);

    // An absolute path without "." and ".." components, as queue items and
    // output names compare paths.
    static std::filesystem::path standardised(const std::filesystem::path& path);
    // Also true for a dangling link or an entry we may not look into: a name
    // in use, whatever it holds.
    static bool somethingExistsAt(const std::filesystem::path& path);

protected:
    // The programs this converter runs; tests point them elsewhere.
    virtual std::optional<std::filesystem::path> findResourceConverter() const;
    virtual std::optional<std::filesystem::path> findSplatTransform() const;

    void log(const std::string& line) const;
    // Forwards each child line to `onLog` while this converter lives.
    ProcessRunner::OutputHandler childLineHandler() const;

private:
    struct LogSink {
        mutable std::mutex mutex;
        LogHandler handler;  // guarded by `mutex`
    };

    // True when splat-transform finds no WebGPU adapter, so SOG compression
    // must run on the CPU. Asked once per program path.
    bool splatTransformNeedsCPU(const std::filesystem::path& tool, const std::map<std::string, std::string>& environment);
    void removePartialOutput(const std::filesystem::path& output) const;
    // Reads `input` to its end with our own readers, holding one batch at a
    // time; throws unreadableInput with the reader's message, or
    // core::CancellationError when `stop` is requested meanwhile.
    static void checkReadable(const std::filesystem::path& input, std::stop_token stop);

    const std::shared_ptr<ProcessRunner> runner_;
    const std::shared_ptr<LogSink> log_ = std::make_shared<LogSink>();
};

}  // namespace tessaron::engines
