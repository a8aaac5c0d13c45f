#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Error.hpp"
#include "engines/COLMAPVersion.hpp"
#include "engines/ProcessRunner.hpp"

namespace tessaron::engines {

// Selects the SIFT options of feature extraction, the matchers' match limit
// and the marker of the step 1 banner.
enum class FeatureExtractionMode { standard, aggressive };

std::string toString(FeatureExtractionMode mode);
std::optional<FeatureExtractionMode> featureExtractionModeFromString(std::string_view text);

// The crops of a 360° video, which COLMAP treats as one camera rig. The crop
// layout itself (input::RigCropLayout) belongs to input preparation, which
// builds on this library, so the caller hands over the layout's answers: its
// camera count and reference camera, its PINHOLE parameter text, and its two
// file makers, called when the run needs them (their errors propagate out of
// `run`).
struct Rig360Config {
    struct Layout {
        std::int64_t cameraCount = 0;
        std::string referenceCameraName;  // "cam" + id of the first crop
        std::string cameraParams;         // "%.4f,%.4f,%.1f,%.1f": f, f, c, c
        std::function<std::string()> rigConfigJSON;
        // The pairs to match, given the sorted frame names of the reference
        // camera's folder; "camA/frame camB/frame" per line.
        std::function<std::vector<std::string>(const std::vector<std::string>& frameNames)> matchPairLines;
    };

    Layout layout;
    std::optional<std::string> maskDir;  // COLMAP's mask path for the crop images
};

// Drives COLMAP as a chain of child processes that turn a folder of images
// into a sparse reconstruction: feature extraction, the rig configuration for
// 360° crops, matching, mapping, and the promotion of the largest sub-model
// to sparse/0.
//
// Threads: `run` executes on the caller's worker thread and awaits each child
// in turn. `onLog` receives the runner's own lines on that thread and COLMAP's
// output lines on the process runner's delivery queue, never two at once;
// `onPidLaunched` is called on the caller's thread. Both are set by the owner
// between runs. `runner()` may be cancelled or killed from any thread.
class COLMAPRunner {
public:
    enum class COLMAPErrorKind {
        binaryNotFound,
        featureExtractionFailed,
        rigConfigurationFailed,
        matchingFailed,
        reconstructionFailed,
        reconstructionEmpty,
        diskFull,
    };

    class COLMAPError : public core::ErrorOf<COLMAPErrorKind> {
    public:
        static COLMAPError binaryNotFound(const std::string& path);
        // `cause`: COLMAP's last error line of the failed step, when it
        // printed one.
        static COLMAPError featureExtractionFailed(int32_t status, std::optional<std::string> cause = std::nullopt);
        static COLMAPError rigConfigurationFailed(int32_t status, std::optional<std::string> cause = std::nullopt);
        static COLMAPError matchingFailed(int32_t status, std::optional<std::string> cause = std::nullopt);
        static COLMAPError reconstructionFailed(int32_t status, std::optional<std::string> cause = std::nullopt);
        // The mapper ended with status 0 but left no model in sparse/0.
        static COLMAPError reconstructionEmpty(const std::string& modelPath);
        // A step failed after COLMAP said the disk was full ("database or
        // disk is full", "No space left on device").
        static COLMAPError diskFull(const std::string& folder, int32_t status);

        // The description followed by COLMAP's own reason, when it gave
        // one: "Sparse reconstruction failed (exit 1): Check failed: ...".
        std::string describedWithCause() const;

        std::string path;    // binaryNotFound, reconstructionEmpty, diskFull
        int32_t status = 0;  // the failed step's exit status
        // The message of COLMAP's last error line in the failed step (a
        // glog "E"/"F" line, an "ERROR: " line, a failed check or an SQLite
        // error), without its prefix and at most maxCauseLength bytes; none
        // when it printed no such line.
        std::optional<std::string> cause;

        static constexpr std::size_t maxCauseLength = 500;
        // The message of one output line when it is an error line; none
        // for any other line.
        static std::optional<std::string> causeOf(std::string_view line);

    private:
        using core::ErrorOf<COLMAPErrorKind>::ErrorOf;
        static COLMAPError stepFailed(COLMAPErrorKind kind, const std::string& description, int32_t status,
                                      std::optional<std::string> cause);
    };

    // One run's settings, every field named and defaulted.
    struct Options {
        std::string imagePath = {};
        std::string outputPath = {};  // gets database.db and sparse/
        bool singleCamera = false;  // one camera for all photos
        bool sequentialMatching = false;  // video frames: neighbours only, with loop closure
        bool useGlobalMapper = false;
        bool useGPU = true;  // a COLMAP without CUDA always extracts on the CPU; the log says which ran
        FeatureExtractionMode mode = FeatureExtractionMode::standard;
        std::optional<std::string> vocabTreePath = {};
        std::optional<std::string> snapshotPath = {};  // the incremental mapper's snapshots
        int snapshotFrequency = 10;               // registered frames between snapshots; below 1: none
        std::optional<Rig360Config> rig = {};
        bool openCVRig = false;  // the rig's crops as OPENCV cameras whose distortion is refined

        // Throws OptionsError naming the first field out of range.
        void check() const;
    };

    class OptionsError : public core::Error {
    public:
        using core::Error::Error;
    };

    // The executable is `colmapPath` when given, unchanged; otherwise the
    // bundled program (Resources/colmap beside the application), the build
    // tree's Resources/colmap, then `colmap` on the PATH. Looks only at the
    // disk; cannot fail.
    explicit COLMAPRunner(std::optional<std::string> colmapPath = std::nullopt);
    COLMAPRunner(const COLMAPRunner&) = delete;
    COLMAPRunner& operator=(const COLMAPRunner&) = delete;

    std::function<void(const std::string& line)> onLog;
    std::function<void(int32_t pid)> onPidLaunched;

    ProcessRunner& runner() { return runner_; }
    const std::string& colmapPath() const { return colmapPath_; }
    int maxThreads() const { return maxThreads_; }

    // Runs the whole chain into `outputPath` (database.db, sparse/, and for a
    // rig rig_config.json and match_pairs.txt). Returns when every step has
    // succeeded and sparse/0 holds a model; throws COLMAPError at the first
    // failing step, the file system's error when a folder or file cannot be
    // written, whatever ProcessRunner::run throws (core::CancellationError
    // once the runner is latched), and OptionsError before anything runs.
    void run(const Options& options);

    // Makes sparse/0 the sub-model with the most registered images; never
    // throws (file errors become "⚠ " lines).
    void promoteLargestSubModel(const std::string& sparsePath);

    // Half the cores, at least 2 and at most 6.
    static int threadCount(int processorCount);

    // The lookup of the constructor, with the two candidate folders given.
    static std::string locateExecutable(const std::filesystem::path& bundleResources,
                                        const std::filesystem::path& developmentResources);

private:
    struct Session;
    enum class Step { featureExtraction, rigConfiguration, matching, reconstruction };

    void log(const std::string& line) const;
    COLMAPVersion programVersion(const std::map<std::string, std::string>& environment);
    void runStep(Step step, const std::vector<std::string>& arguments, const Session& session);

    ProcessRunner runner_;
    std::string colmapPath_;
    int maxThreads_;
    // Read once from `colmap -h` at the first run; the executable never changes.
    std::optional<COLMAPVersion> version_;
};

}  // namespace tessaron::engines
