#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ToolCommand.hpp"
#include "engines/COLMAPRunner.hpp"

namespace tessaron::tool {

namespace {

using engines::COLMAPRunner;
using engines::FeatureExtractionMode;

// colmap <images> <output> [options]: the structure-from-motion chain on a
// photo folder, printing every line the runner logs.
int runCOLMAP(const std::vector<std::string>& arguments) {
    std::vector<std::string> positional;
    std::optional<std::string> colmapPath, vocabTreePath, snapshotPath;
    bool singleCamera = false, sequential = false, global = false, useGPU = false;
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
        } else if (argument == "--colmap" || argument == "--vocab-tree" || argument == "--snapshots" ||
                   argument == "--snapshot-frequency") {
            std::optional<std::string> text = value();
            if (!text) return usageError(argument + " needs a value");
            if (argument == "--colmap") colmapPath = text;
            if (argument == "--vocab-tree") vocabTreePath = text;
            if (argument == "--snapshots") snapshotPath = text;
            if (argument == "--snapshot-frequency") {
                try {
                    snapshotFrequency = std::stoi(*text);
                } catch (const std::exception&) {
                    return usageError("--snapshot-frequency needs a whole number");
                }
            }
        } else if (argument.starts_with("--")) {
            return usageError("unknown option " + argument);
        } else {
            positional.push_back(argument);
        }
    }
    if (positional.size() != 2) return usageError("colmap needs <images> and <output>");

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
    runner.run(positional[0], positional[1], singleCamera, sequential, global, useGPU, mode, vocabTreePath,
               snapshotPath, snapshotFrequency, std::nullopt, false);
    return 0;
}

const ToolCommand::Registration colmapCommand({
    "colmap",
    "<images> <output> [--colmap PATH] [--single-camera] [--sequential] [--global] [--gpu] [--aggressive] "
    "[--vocab-tree PATH] [--snapshots PATH] [--snapshot-frequency N]: run COLMAP's chain into <output>",
    runCOLMAP,
});

}  // namespace

}  // namespace tessaron::tool
