#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <QtGlobal>

#include "input/CropLayout.hpp"
#include "input/PersonMaskMode.hpp"
#include "pipeline/PipelineManager.hpp"
#include "pipeline/RunReport.hpp"

namespace tessaron::viewmodel {

// The user's choices for a run, as the form sets them, starting from the
// driver's own defaults (the form's own ones are here alone); the view model
// publishes each field as a property of its own, and a run, its report and
// its resume take their values from here.
struct RunSettings {
    // The driver's own defaults, which the form starts from.
    static const pipeline::PipelineManager::RunParameters& driverDefaults() {
        static const pipeline::PipelineManager::RunParameters defaults;
        return defaults;
    }

    qint64 frameExtractionRate = driverDefaults().frameExtractionRate;  // keep one video frame in N
    qint64 trainingIterations = driverDefaults().iterations;
    bool sharpnessFilterEnabled = driverDefaults().sharpnessEnabled;
    double sharpnessThreshold = driverDefaults().sharpnessThreshold;
    bool colmapUseSingleCamera = driverDefaults().colmapSingleCamera;
    bool trevikEvalMode = driverDefaults().trevikEval;
    qint64 trevikDownscaleFactor = driverDefaults().trevikDownscaleFactor;  // 0: automatic
    qint64 trainingCapMax = driverDefaults().capMax;                        // the model size
    bool useVastGaussian = driverDefaults().useVastGaussian;
    bool useGlobalMapper = driverDefaults().useGlobalMapper;
    bool useGPUSIFT = driverDefaults().useGPUSIFT;
    bool useAggressiveSIFT = driverDefaults().useAggressiveSIFT;
    // The form's slider floor; a view model starts at defaultRamLimitGB().
    double ramLimitGB = 4;
    bool diagnosticsEnabled = driverDefaults().diagnostics;
    bool treatAs360 = false;
    input::CropLayoutPreset cropLayoutPreset = input::CropLayoutPreset::fullSphere16;
    input::PersonMaskMode personMaskMode = driverDefaults().personMaskMode;
    // An existing COLMAP model in place of the SfM step.
    bool skipSfM = false;
    std::optional<std::filesystem::path> colmapDataURL;

    bool operator==(const RunSettings&) const = default;

    // The crops of a 360° frame are this square, seen with this field of view.
    static constexpr int cropSize = 2048;
    static constexpr double cropFieldOfView = 100;

    // The 360° conversion runs only on a video marked as 360°.
    bool is360(bool isVideo) const { return isVideo && treatAs360; }
    // COLMAP runs the global mapper, which writes no snapshots; a 360° rig
    // always runs the incremental one.
    bool runsGlobalMapper(bool isVideo) const { return useGlobalMapper && !is360(isVideo); }
    // The crops each frame becomes: the layout's count for a 360° video, else 1.
    qint64 viewsPerFrame(bool isVideo) const;

    // Everything the driver needs for a new run of `input` into `workspace`.
    pipeline::PipelineManager::RunParameters runParameters(const std::filesystem::path& input,
                                                           const std::filesystem::path& workspace,
                                                           bool isVideo) const;
    // The first training setting outside its range (engines::TrainingLimits),
    // named with its value: "Iterations must be at most 1000000 (is 2000000)";
    // none when every one is in range.
    std::optional<std::string> rangeProblem() const;
    // What the run report's settings rows are made from.
    pipeline::RunReport::RunSettings reportSettings() const;
};

// The memory budget a new view model starts with, in whole GB: the physical
// memory in GiB less 3, cut to a whole number, at least 4.
double defaultRamLimitGB(uint64_t physicalMemoryBytes);

}  // namespace tessaron::viewmodel
