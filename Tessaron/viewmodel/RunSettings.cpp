#include "viewmodel/RunSettings.hpp"

#include <algorithm>
#include <cmath>
#include <tuple>

#include "engines/TrainingLimits.hpp"

namespace tessaron::viewmodel {

double defaultRamLimitGB(uint64_t physicalMemoryBytes) {
    // Cut, not rounded: the limit stays within the machine's memory less 3,
    // and it is the top of the form's slider, whose stops are whole GB.
    return std::max(std::floor(static_cast<double>(physicalMemoryBytes) / 1073741824.0 - 3.0), 4.0);
}

qint64 RunSettings::viewsPerFrame(bool isVideo) const {
    if (!is360(isVideo)) return 1;
    return static_cast<qint64>(input::CropLayout(cropLayoutPreset, cropSize, cropFieldOfView).crops.size());
}

pipeline::PipelineManager::RunParameters RunSettings::runParameters(const std::filesystem::path& input,
                                                                    const std::filesystem::path& workspace,
                                                                    bool isVideo) const {
    pipeline::PipelineManager::RunParameters parameters;
    parameters.inputURL = input;
    parameters.workspaceURL = workspace;
    parameters.isVideo = isVideo;
    parameters.skipSfM = skipSfM;
    parameters.colmapDataURL = colmapDataURL;
    parameters.frameExtractionRate = frameExtractionRate;
    parameters.iterations = static_cast<int>(trainingIterations);
    parameters.sharpnessEnabled = sharpnessFilterEnabled;
    parameters.sharpnessThreshold = sharpnessThreshold;
    parameters.colmapSingleCamera = colmapUseSingleCamera;
    parameters.trevikEval = trevikEvalMode;
    parameters.trevikDownscaleFactor = static_cast<int>(trevikDownscaleFactor);
    parameters.useVastGaussian = useVastGaussian;
    parameters.capMax = trainingCapMax;
    parameters.useGlobalMapper = useGlobalMapper;
    parameters.useGPUSIFT = useGPUSIFT;
    parameters.useAggressiveSIFT = useAggressiveSIFT;
    parameters.overrideVastGaussianParams = false;
    parameters.ramLimitGB = ramLimitGB;
    parameters.is360 = is360(isVideo);
    if (parameters.is360) parameters.cropLayout = input::CropLayout(cropLayoutPreset, cropSize, cropFieldOfView);
    parameters.personMaskMode = personMaskMode;
    parameters.diagnostics = diagnosticsEnabled;
    return parameters;
}

std::optional<std::string> RunSettings::rangeProblem() const {
    using engines::TrainingLimits;
    const std::tuple<const char*, qint64, TrainingLimits::Range> checked[] = {
        {"Iterations", trainingIterations, TrainingLimits::iterations},
        {"Downscale", trevikDownscaleFactor, {0, TrainingLimits::downscale.maximum}},  // 0: automatic
        {"Model size", trainingCapMax, TrainingLimits::capMax}};
    for (const auto& [setting, value, range] : checked)
        if (auto problem = range.refusal(value)) return std::string(setting) + " " + *problem;
    return std::nullopt;
}

pipeline::RunReport::RunSettings RunSettings::reportSettings() const {
    return {.modelSize = trainingCapMax,
            .downscale = trevikDownscaleFactor,
            .eval = trevikEvalMode,
            .ramLimitGB = ramLimitGB,
            .partitioning = useVastGaussian,
            .skipSfM = skipSfM};
}

}  // namespace tessaron::viewmodel
