#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ToolCommand.hpp"
#include "engines/COLMAPRunner.hpp"
#include "input/CropLayout.hpp"

namespace tessaron::tool {

namespace {

using engines::COLMAPRunner;
using engines::FeatureExtractionMode;
using engines::Rig360Config;

// What the runner needs of a crop rig, answered by the layout.
Rig360Config rigConfig(const input::CropLayout& layout, std::optional<std::string> maskDir) {
    auto shared = std::make_shared<input::CropLayout>(layout);
    Rig360Config rig;
    rig.layout.cameraCount = shared->cameraCount();
    rig.layout.referenceCameraName = shared->referenceCameraName();
    rig.layout.cameraParams = shared->cameraParams();
    rig.layout.rigConfigJSON = [shared] { return shared->rigConfigJSON(); };
    rig.layout.matchPairLines = [shared](const std::vector<std::string>& frameNames) {
        return shared->matchPairLines(frameNames);
    };
    rig.maskDir = std::move(maskDir);
    return rig;
}

// colmap <images> <output> [options]: the structure-from-motion chain on a
// photo folder, printing every line the runner logs.
int runCOLMAP(const std::vector<std::string>& arguments) {
    std::vector<std::string> positional;
    std::optional<std::string> colmapPath, vocabTreePath, snapshotPath, rigPreset, maskDir;
    bool singleCamera = false, sequential = false, global = false, useGPU = false, openCVRig = false;
    int cropSize = 2048;
    double fovDegrees = 100;
    FeatureExtractionMode mode = FeatureExtractionMode::standard;
    int snapshotFrequency = 10;

    for (size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        auto value = [&]() -> std::optional<std::string> {
            if (index + 1 >= arguments.size()) return std::nullopt;
            return arguments[++index];
        };
        if (argument == "--single-camera") {
            singleCamera = true;
        } else if (argument == "--sequential") {
            sequential = true;
        } else if (argument == "--global") {
            global = true;
        } else if (argument == "--gpu") {
            useGPU = true;
        } else if (argument == "--aggressive") {
            mode = FeatureExtractionMode::aggressive;
        } else if (argument == "--opencv") {
            openCVRig = true;
        } else if (argument == "--colmap" || argument == "--vocab-tree" || argument == "--snapshots" ||
                   argument == "--snapshot-frequency" || argument == "--rig" || argument == "--masks" ||
                   argument == "--crop-size" || argument == "--fov") {
            std::optional<std::string> text = value();
            if (!text) return usageError(argument + " needs a value");
            if (argument == "--colmap") colmapPath = text;
            if (argument == "--vocab-tree") vocabTreePath = text;
            if (argument == "--snapshots") snapshotPath = text;
            if (argument == "--rig") rigPreset = text;
            if (argument == "--masks") maskDir = text;
            try {
                if (argument == "--snapshot-frequency") snapshotFrequency = std::stoi(*text);
                if (argument == "--crop-size") cropSize = std::stoi(*text);
                if (argument == "--fov") fovDegrees = std::stod(*text);
            } catch (const std::exception&) {
                return usageError(argument + " needs a number");
            }
        } else if (argument.starts_with("--")) {
            return usageError("unknown option " + argument);
        } else {
            positional.push_back(argument);
        }
    }
    if (positional.size() != 2) return usageError("colmap needs <images> and <output>");
    std::optional<Rig360Config> rig;
    if (rigPreset) {
        std::optional<input::CropLayoutPreset> preset = input::cropLayoutPresetFromString(*rigPreset);
        if (!preset) return usageError("--rig takes fullSphere16 or horizontal8");
        if (cropSize < 1) return usageError("--crop-size must be at least 1");
        rig = rigConfig(input::CropLayout(*preset, cropSize, fovDegrees), maskDir);
    }

    COLMAPRunner runner(colmapPath);
    std::mutex outputMutex;
    runner.onLog = [&outputMutex](const std::string& line) {
        std::lock_guard lock(outputMutex);
        std::cout << line << "\n" << std::flush;
    };
    runner.onPidLaunched = [&outputMutex](int32_t pid) {
        std::lock_guard lock(outputMutex);
        std::cout << "[pid " << pid << "]\n" << std::flush;
    };
    std::cout << "colmap: " << runner.colmapPath() << " (" << runner.maxThreads() << " threads)\n";
    COLMAPRunner::Options options;
    options.imagePath = positional[0];
    options.outputPath = positional[1];
    options.singleCamera = singleCamera;
    options.sequentialMatching = sequential;
    options.useGlobalMapper = global;
    options.useGPU = useGPU;
    options.mode = mode;
    options.vocabTreePath = vocabTreePath;
    options.snapshotPath = snapshotPath;
    options.snapshotFrequency = snapshotFrequency;
    options.rig = rig;
    options.openCVRig = openCVRig;
    runner.run(options);
    return 0;
}

const ToolCommand::Registration colmapCommand({
    "colmap",
    "<images> <output> [--colmap PATH] [--single-camera] [--sequential] [--global] [--gpu] [--aggressive] "
    "[--vocab-tree PATH] [--snapshots PATH] [--snapshot-frequency N] [--rig fullSphere16|horizontal8 "
    "[--crop-size PX] [--fov DEG] [--masks DIR] [--opencv]]: run COLMAP's chain into <output>",
    runCOLMAP,
});

}  // namespace

}  // namespace tessaron::tool
