// tessaron-tool train: runs the training engine on a dataset folder through
// TrevikRunner and prints its lines and statistics. scene-photos: the
// generated textured scene's photos, a photo folder for `pipeline run`.
#include <filesystem>
#include <charconv>
#include <iostream>
#include <mutex>

#include "ToolCommand.hpp"
#include "core/NumberText.hpp"
#include "engines/TrevikRunner.hpp"
#include "generators/SyntheticScene.hpp"

namespace tessaron::tool {

namespace {

bool parseInteger(const std::string& text, int64_t& value) {
    auto [end, errc] = std::from_chars(text.data(), text.data() + text.size(), value);
    return errc == std::errc() && end == text.data() + text.size();
}

int train(const std::vector<std::string>& arguments) {
    std::optional<std::string> dataset, output, maskDir, trevikPath;
    int64_t iterations = 7000, downscale = 1, capMax = 1000000;
    bool evalMode = false, diagnostics = false;
    std::optional<float> cullRadius;
    std::optional<double> earlyStop;

    for (size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        auto value = [&]() -> std::optional<std::string> {
            if (index + 1 >= arguments.size()) return std::nullopt;
            return arguments[++index];
        };
        auto integer = [&](int64_t& target) {
            auto text = value();
            return text && parseInteger(*text, target);
        };
        auto number = [&](double& target) {
            auto text = value();
            return text && core::parseDouble(*text, target);
        };
        if (argument == "-n") {
            if (!integer(iterations)) return usageError("train: -n needs an integer");
        } else if (argument == "-d") {
            if (!integer(downscale)) return usageError("train: -d needs an integer");
        } else if (argument == "--cap-max") {
            if (!integer(capMax)) return usageError("train: --cap-max needs an integer");
        } else if (argument == "--eval") {
            evalMode = true;
        } else if (argument == "--diagnostics") {
            diagnostics = true;
        } else if (argument == "--cull-radius") {
            double radius = 0;
            if (!number(radius)) return usageError("train: --cull-radius needs a number");
            cullRadius = float(radius);
        } else if (argument == "--early-stop") {
            double threshold = 0;
            if (!number(threshold)) return usageError("train: --early-stop needs a number");
            earlyStop = threshold;
        } else if (argument == "--mask-dir") {
            if (!(maskDir = value())) return usageError("train: --mask-dir needs a folder");
        } else if (argument == "--trevik") {
            if (!(trevikPath = value())) return usageError("train: --trevik needs a path");
        } else if (argument.starts_with("-")) {
            return usageError("train: unknown option " + argument);
        } else if (!dataset) {
            dataset = argument;
        } else if (!output) {
            output = argument;
        } else {
            return usageError("train: unexpected argument " + argument);
        }
    }
    if (!dataset || !output) return usageError("train needs a dataset folder and an output PLY path");
    // Before the narrowing to the runner's int: a larger count would become another one.
    for (auto problem : {outsideRange("-n", iterations, engines::TrainingLimits::iterations),
                         outsideRange("-d", downscale, engines::TrainingLimits::downscale),
                         outsideRange("--cap-max", capMax, engines::TrainingLimits::capMax)})
        if (problem) return usageError("train: " + *problem);
    // The engine runs in its own folder: relative paths would not reach it.
    dataset = std::filesystem::absolute(*dataset).string();
    output = std::filesystem::absolute(*output).string();
    if (maskDir) maskDir = std::filesystem::absolute(*maskDir).string();

    engines::TrevikRunner runner(trevikPath);
    std::mutex printing;
    runner.onLog = [&](const std::string& line) {
        std::lock_guard lock(printing);
        std::cout << line << std::endl;
    };
    runner.onStats = [&](int64_t step, int64_t splats, float msPerStep) {
        std::lock_guard lock(printing);
        std::cout << "  stats: step " << step << ", " << splats << " splats, " << core::shortestText(msPerStep)
                  << " ms/step" << std::endl;
    };
    runner.onPidLaunched = [&](int32_t pid) {
        std::lock_guard lock(printing);
        std::cout << "  pid " << pid << std::endl;
    };
    std::cout << "engine: " << runner.trevikPath() << std::endl;
    engines::TrevikRunner::Options options;
    options.datasetPath = *dataset;
    options.outputPath = *output;
    options.iterations = int(iterations);
    options.downscale = int(downscale);
    options.evalMode = evalMode;
    options.capMax = capMax;
    options.diagnostics = diagnostics;
    options.cullRadius = cullRadius;
    options.earlyStop = earlyStop;
    options.maskDir = maskDir;
    runner.run(options);
    return 0;
}

int scenePhotos(const std::vector<std::string>& arguments) {
    const std::string usage = "usage: scene-photos <folder> [--images N]";
    int64_t images = 24;
    if (arguments.empty() || arguments[0].starts_with("-")) return usageError(usage);
    for (size_t index = 1; index < arguments.size(); ++index) {
        if (arguments[index] != "--images" || index + 1 >= arguments.size() ||
            !parseInteger(arguments[++index], images))
            return usageError(usage);
    }
    if (auto complaint = belowMinimum("--images", images, 2)) return usageError(*complaint);
    if (images > 1000) return usageError("--images must be at most 1000 (got " + std::to_string(images) + ")");
    const auto written = tessaron::generators::renderScene(arguments[0], int(images));
    std::cout << "Wrote " << written.size() << " photos to " << arguments[0] << "\n";
    return 0;
}

const ToolCommand::Registration scenePhotosCommand({
    "scene-photos",
    "<folder> [--images N]: write N photos (default 24) of the generated textured scene, a room with boxes that "
    "COLMAP reconstructs, for pipeline run",
    scenePhotos,
});

const ToolCommand::Registration trainCommand({
    "train",
    "<dataset> <output.ply> [-n iterations] [-d downscale] [--cap-max count] [--eval] [--diagnostics] "
    "[--cull-radius r] [--early-stop e] [--mask-dir folder] [--trevik path]: run the training engine",
    train,
});

}  // namespace

}  // namespace tessaron::tool
