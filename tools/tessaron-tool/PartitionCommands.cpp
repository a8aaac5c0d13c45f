#include <charconv>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ToolCommand.hpp"
#include "core/NumberText.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "partition/VastGaussianPartitioner.hpp"
#include "generators/SyntheticModel.hpp"

namespace tessaron::tool {

namespace {

using partition::VastGaussianPartitioner;
using tessaron::generators::SyntheticModelOptions;

// "--name value" pairs after the positional argument.
std::optional<std::map<std::string, std::string>> parseOptions(const std::vector<std::string>& arguments,
                                                               size_t first, const std::vector<std::string>& known) {
    std::map<std::string, std::string> options;
    for (size_t index = first; index < arguments.size(); index += 2) {
        const std::string& name = arguments[index];
        if (std::find(known.begin(), known.end(), name) == known.end() || index + 1 >= arguments.size())
            return std::nullopt;
        options[name] = arguments[index + 1];
    }
    return options;
}

std::optional<int64_t> integerOption(const std::map<std::string, std::string>& options, const std::string& name,
                                     int64_t fallback) {
    auto found = options.find(name);
    if (found == options.end()) return fallback;
    int64_t value = 0;
    const std::string& text = found->second;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// "synthetic:<streets|grid>:<images>:<points>"
std::optional<SyntheticModelOptions> syntheticSource(const std::string& source) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t colon; (colon = source.find(':', start)) != std::string::npos; start = colon + 1)
        parts.push_back(source.substr(start, colon - start));
    parts.push_back(source.substr(start));
    if (parts.size() != 4 || parts[0] != "synthetic" || (parts[1] != "streets" && parts[1] != "grid"))
        return std::nullopt;
    SyntheticModelOptions options;
    options.layout = parts[1] == "grid" ? SyntheticModelOptions::Layout::grid : SyntheticModelOptions::Layout::streets;
    std::map<std::string, std::string> counts{{"images", parts[2]}, {"points", parts[3]}};
    auto images = integerOption(counts, "images", 0);
    auto points = integerOption(counts, "points", 0);
    if (!images || !points || *images < 1 || *points < 1) return std::nullopt;
    options.imageCount = *images;
    options.pointCount = *points;
    return options;
}

const char* planUsage =
    "<sparse/0 | synthetic:streets|grid:IMAGES:POINTS> [--downscale N] [--iterations N] [--cap N] [--ram GB] "
    "[--views N] [--output FILE]: plan the cells of a COLMAP model, print the planner's log and the summary, and "
    "write the plan (default ./partition_plan.json)";

int runPlan(const std::vector<std::string>& arguments) {
    if (arguments.empty()) return usageError(std::string("usage: plan ") + planUsage);
    auto options =
        parseOptions(arguments, 1, {"--downscale", "--iterations", "--cap", "--ram", "--views", "--output"});
    if (!options) return usageError(std::string("usage: plan ") + planUsage);
    auto downscale = integerOption(*options, "--downscale", 1);
    auto iterations = integerOption(*options, "--iterations", 7000);
    auto cap = integerOption(*options, "--cap", 1000000);
    auto views = integerOption(*options, "--views", 0);
    if (!downscale || !iterations || !cap || !views) return usageError("options take whole numbers");
    std::optional<double> ramGB;
    if (options->count("--ram")) {
        double value = 0;
        if (!core::parseDouble(options->at("--ram"), value)) return usageError("--ram takes a number of GB");
        ramGB = value;
    }
    for (auto problem : {belowMinimum("--downscale", *downscale, 1), belowMinimum("--iterations", *iterations, 1),
                         belowMinimum("--cap", *cap, 1), belowMinimum("--views", *views, 0),
                         ramGB ? notPositiveGB("--ram", *ramGB) : std::nullopt})
        if (problem) return usageError("plan: " + *problem);
    std::string output = options->count("--output") ? options->at("--output") : "partition_plan.json";

    auto log = [](const std::string& line) { std::cout << line << "\n"; };
    const VastGaussianPartitioner::PlanOptions planOptions{.downscaleFactor = *downscale,
                                                           .iterationFloor = *iterations,
                                                           .gaussianBudget = *cap,
                                                           .ramLimitGB = ramGB,
                                                           .viewsPerFrame = *views};
    partition::PartitionPlan plan;
    if (auto synthetic = syntheticSource(arguments[0]))
        plan = VastGaussianPartitioner::createPlan(generators::makeSyntheticModel(*synthetic), planOptions, log);
    else if (arguments[0].starts_with("synthetic:"))
        return usageError("a synthetic source is synthetic:streets|grid:IMAGES:POINTS");
    else
        plan = VastGaussianPartitioner::createPlan(std::filesystem::path(arguments[0]), planOptions, log);
    std::cout << plan.printSummary() << "\n";
    plan.save(output);
    std::cout << "Plan written to " << output << "\n";
    return 0;
}

int runSyntheticModel(const std::vector<std::string>& arguments) {
    const std::string usage =
        "usage: synthetic-model <folder> [--layout streets|grid] [--images N] [--points N] [--width W] "
        "[--height H] [--rig V] [--seed S]";
    if (arguments.empty()) return usageError(usage);
    auto options = parseOptions(arguments, 1,
                                {"--layout", "--images", "--points", "--width", "--height", "--rig", "--seed"});
    if (!options) return usageError(usage);
    SyntheticModelOptions model;
    auto images = integerOption(*options, "--images", model.imageCount);
    auto points = integerOption(*options, "--points", model.pointCount);
    auto width = integerOption(*options, "--width", int64_t(model.imageWidth));
    auto height = integerOption(*options, "--height", int64_t(model.imageHeight));
    auto rig = integerOption(*options, "--rig", 0);
    auto seed = integerOption(*options, "--seed", int64_t(model.seed));
    if (!images || !points || !width || !height || !rig || !seed || *images < 1 || *points < 0 || *width < 1 ||
        *height < 1)
        return usageError(usage);
    std::string layout = options->count("--layout") ? options->at("--layout") : "streets";
    if (layout != "streets" && layout != "grid") return usageError(usage);
    model.layout = layout == "grid" ? SyntheticModelOptions::Layout::grid : SyntheticModelOptions::Layout::streets;
    model.imageCount = *images;
    model.pointCount = *points;
    model.imageWidth = uint64_t(*width);
    model.imageHeight = uint64_t(*height);
    model.rigViews = *rig;
    model.seed = uint64_t(*seed);
    auto made = tessaron::generators::makeSyntheticModel(model);
    colmap::COLMAPUtils::writeModel(made.cameras, made.images, made.points3D, arguments[0]);
    std::cout << "Wrote " << made.images.size() << " images and " << made.points3D.size() << " points to "
              << arguments[0] << "\n";
    return 0;
}

ToolCommand::Registration planCommand({"plan", planUsage, runPlan});
ToolCommand::Registration syntheticModelCommand(
    {"synthetic-model",
     "<folder> [--layout streets|grid] [--images N] [--points N] [--width W] [--height H] [--rig V] [--seed S]: "
     "write a made-up COLMAP town model (cameras.bin, images.bin, points3D.bin)",
     runSyntheticModel});

}  // namespace

}  // namespace tessaron::tool
