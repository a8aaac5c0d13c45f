#include "trevik/TrainingOptions.hpp"

#include <charconv>
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "core/NumberText.hpp"

namespace tessaron::trevik {

namespace {
using UsageError = TrainingOptions::UsageError;
}  // namespace

int64_t TrainingOptions::integerValue(const std::string& option, const std::string& text, int64_t minimum,
                                      std::optional<int64_t> maximum) {
    int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, errc] = std::from_chars(text.data(), end, value);
    if (text.empty() || errc != std::errc() || ptr != end || value < minimum || (maximum && value > *maximum)) {
        const std::string range = maximum ? "from " + std::to_string(minimum) + " to " + std::to_string(*maximum)
                                          : "of at least " + std::to_string(minimum);
        throw UsageError("invalid value for " + option + ": \"" + text + "\" (an integer " + range + ")");
    }
    return value;
}

double TrainingOptions::numberValue(const std::string& option, const std::string& text) {
    double value = 0;
    if (!core::parseDouble(text, value) || !std::isfinite(value))
        throw UsageError("invalid value for " + option + ": \"" + text + "\" (a number)");
    return value;
}

double TrainingOptions::nonNegativeValue(const std::string& option, const std::string& text) {
    double value = numberValue(option, text);
    if (value < 0) throw UsageError("invalid value for " + option + ": \"" + text + "\" (a number of at least 0)");
    return value;
}

std::string TrainingOptions::usage() {
    return "usage: trevik <dataset> -n <iterations> -o <output.ply> --cap-max <count>\n"
           "              [--bg-color <r> <g> <b>] [--position-lr-max-steps <steps>] [-d <factor>]\n"
           "              [--eval] [--cull-radius <radius>] [--early-stop <threshold>] [--mask-dir <folder>]\n"
           "Optimises 3D Gaussians, seeded from the SfM points of <dataset>/sparse/0, against the photos in\n"
           "<dataset>/images on the CPU, and writes them as a binary Gaussian PLY.\n";
}

TrainingOptions TrainingOptions::parse(const std::vector<std::string>& arguments) {
    TrainingOptions options;
    bool sawDataset = false, sawIterations = false, sawOutput = false, sawCap = false;

    size_t index = 0;
    auto value = [&](const std::string& option) -> const std::string& {
        if (index + 1 >= arguments.size()) throw UsageError("missing value for " + option);
        return arguments[++index];
    };

    for (; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (argument == "-n") {
            options.iterations = integerValue(argument, value(argument), 0, iterationLimit);
            sawIterations = true;
        } else if (argument == "-o") {
            std::string path = value(argument);
            if (path.empty()) throw UsageError("invalid value for -o: an empty path");
            options.output = path;
            sawOutput = true;
        } else if (argument == "--cap-max") {
            options.capMax = integerValue(argument, value(argument), engines::TrainingLimits::capMax.minimum, capLimit);
            sawCap = true;
        } else if (argument == "--bg-color") {
            // A colour channel: anything outside 0 to 1 gives losses without bound.
            for (double& channel : options.backgroundColor) {
                const std::string& text = value(argument);
                channel = numberValue(argument, text);
                if (channel < 0 || channel > 1)
                    throw UsageError("invalid value for " + argument + ": \"" + text + "\" (a number from 0 to 1)");
            }
        } else if (argument == "--position-lr-max-steps") {
            options.positionLrMaxSteps = integerValue(argument, value(argument), 0, iterationLimit);
        } else if (argument == "-d") {
            options.downscale = integerValue(argument, value(argument), engines::TrainingLimits::downscale.minimum,
                                             engines::TrainingLimits::downscale.maximum);
        } else if (argument == "--eval") {
            options.eval = true;
        } else if (argument == "--cull-radius") {
            options.cullRadius = nonNegativeValue(argument, value(argument));
        } else if (argument == "--early-stop") {
            options.earlyStop = nonNegativeValue(argument, value(argument));
        } else if (argument == "--mask-dir") {
            std::string folder = value(argument);
            if (folder.empty()) throw UsageError("invalid value for --mask-dir: an empty path");
            options.maskDir = folder;
        } else if (argument.starts_with("-")) {
            throw UsageError("unknown option " + argument);
        } else if (sawDataset) {
            throw UsageError("unexpected argument \"" + argument + "\" (the dataset is " + options.dataset.string() + ")");
        } else {
            options.dataset = argument;
            sawDataset = true;
        }
    }
    if (!sawDataset) throw UsageError("missing the dataset folder");
    if (!sawIterations) throw UsageError("missing -n <iterations>");
    if (!sawOutput) throw UsageError("missing -o <output.ply>");
    if (!sawCap) throw UsageError("missing --cap-max <count>");
    return options;
}

std::string TrainingOptions::datasetName() const {
    std::filesystem::path path = dataset;
    // "cell_3/" names the folder cell_3, not "".
    while (path.has_relative_path() && path.filename().empty()) path = path.parent_path();
    return path.filename().string();
}

EngineSettings EngineSettings::read(const Lookup& lookup) {
    EngineSettings settings;
    if (auto text = lookup(threadsVariable); text && !text->empty())
        settings.threads = unsigned(std::min<int64_t>(TrainingOptions::integerValue(threadsVariable, *text, 0), 1024));
    if (auto text = lookup(memoryCeilingVariable); text && !text->empty())
        settings.memoryCeilingMegabytes = TrainingOptions::integerValue(memoryCeilingVariable, *text, 1);
    return settings;
}

std::optional<std::string> EngineSettings::environmentValue(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

EngineSettings EngineSettings::fromEnvironment() { return read(environmentValue); }

}  // namespace tessaron::trevik
