#include "engines/TrevikRunner.hpp"

#include <charconv>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

#include "core/NumberText.hpp"
#include "core/ResourceLocator.hpp"

namespace tessaron::engines {

namespace {

// Every occurrence of `pattern` removed in one left-to-right pass; text that
// the removal joins together is not searched again.
std::string removingAll(const std::string& text, std::string_view pattern) {
    std::string result;
    size_t start = 0;
    for (size_t found = text.find(pattern); found != std::string::npos; found = text.find(pattern, start)) {
        result.append(text, start, found - start);
        start = found + pattern.size();
    }
    result.append(text, start, std::string::npos);
    return result;
}

// A decimal integer with an optional sign and nothing else; none otherwise,
// also when it does not fit.
std::optional<int64_t> parseInteger(const std::string& text) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    bool negative = false;
    if (begin != end && (*begin == '+' || *begin == '-')) {
        negative = *begin == '-';
        ++begin;
    }
    if (begin == end || *begin == '+' || *begin == '-') return std::nullopt;
    uint64_t magnitude = 0;
    auto [ptr, errc] = std::from_chars(begin, end, magnitude);
    if (errc != std::errc() || ptr != end) return std::nullopt;
    if (negative) {
        if (magnitude > uint64_t(INT64_MAX) + 1) return std::nullopt;
        return int64_t(0 - magnitude);
    }
    if (magnitude > uint64_t(INT64_MAX)) return std::nullopt;
    return int64_t(magnitude);
}

// A whole-token float; leading white space is not accepted.
std::optional<float> parseFloat(const std::string& text) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (begin != end && *begin == '+') {
        ++begin;
        if (begin != end && *begin == '-') return std::nullopt;
    }
    float value = 0;
    auto [ptr, errc] = std::from_chars(begin, end, value);
    if (errc != std::errc() || ptr != end) return std::nullopt;
    return value;
}

std::string locateTrevik(const std::optional<std::string>& given) {
    if (given) return *given;
    if (auto found = core::ResourceLocator::findExecutable("trevik", /*searchPath=*/false)) return found->string();
    return "trevik";
}

}  // namespace

TrevikRunner::TrevikError TrevikRunner::TrevikError::trainingFailed(std::optional<int32_t> exitCode,
                                                                    std::optional<int32_t> signal,
                                                                    std::optional<std::string> cause) {
    std::string description = signal ? "trevik stopped by signal " + std::to_string(*signal)
                                     : "trevik training failed (exit " + std::to_string(exitCode.value_or(-1)) + ")";
    TrevikError error(TrevikErrorKind::trainingFailed, description);
    error.exitCode = exitCode;
    error.signal = signal;
    error.cause = std::move(cause);
    return error;
}

std::string TrevikRunner::TrevikError::describedWithCause() const {
    return cause ? std::string(what()) + ": " + *cause : std::string(what());
}

TrevikRunner::TrevikRunner(std::optional<std::string> trevikPath) : trevikPath_(locateTrevik(trevikPath)) {}

void TrevikRunner::Options::check() const {
    auto refuse = [](const std::string& field, const std::string& why) {
        throw OptionsError("Training option " + field + " " + why);
    };
    if (datasetPath.empty()) refuse("datasetPath", "is empty");
    if (outputPath.empty()) refuse("outputPath", "is empty");
    if (auto problem = TrainingLimits::iterations.refusal(iterations)) refuse("iterations", *problem);
    if (auto problem = TrainingLimits::downscale.refusal(downscale)) refuse("downscale", *problem);
    if (auto problem = TrainingLimits::capMax.refusal(capMax)) refuse("capMax", *problem);
    if (cullRadius && !(*cullRadius >= 0)) refuse("cullRadius", "must be a number of at least 0");
    if (earlyStop && !(*earlyStop >= 0)) refuse("earlyStop", "must be a number of at least 0");
}

std::vector<std::string> TrevikRunner::arguments(const Options& options) {
    std::vector<std::string> arguments = {
        options.datasetPath,
        "-n", std::to_string(options.iterations),
        "-o", options.outputPath,
        "--cap-max", std::to_string(options.capMax),
        "--bg-color", "0", "0", "0",
        "--position-lr-max-steps", std::to_string(options.iterations),
    };
    if (options.downscale >= 2) arguments.insert(arguments.end(), {"-d", std::to_string(options.downscale)});
    if (options.evalMode) arguments.push_back("--eval");
    if (options.cullRadius) arguments.insert(arguments.end(), {"--cull-radius", core::shortestText(*options.cullRadius)});
    // Early stopping watches the evaluation split, so it needs --eval.
    if (options.earlyStop && options.evalMode)
        arguments.insert(arguments.end(), {"--early-stop", core::shortestText(*options.earlyStop)});
    if (options.maskDir) arguments.insert(arguments.end(), {"--mask-dir", *options.maskDir});
    return arguments;
}

void TrevikRunner::run(const Options& options) {
    options.check();
    auto log = [this](const std::string& line) {
        if (onLog) onLog(line);
    };
    log("═══ Starting trevik training ═══");
    log("Dataset: " + options.datasetPath);
    log("Iterations: " + std::to_string(options.iterations));
    log("Downscale: " + std::to_string(options.downscale) + "x");
    log("Cap Max: " + std::to_string(options.capMax));

    std::vector<std::string> engineArguments = arguments(options);
    std::string command = "Command: trevik";
    for (const std::string& argument : engineArguments) command += " " + argument;
    log(command);

    // The engine runs in the folder that holds it; the bare name has none,
    // and then it inherits ours.
    std::string folder = std::filesystem::path(trevikPath_).parent_path().string();
    std::optional<std::string> workingDirectory;
    if (!folder.empty()) workingDirectory = folder;

    std::optional<std::map<std::string, std::string>> environment;
    if (options.diagnostics) {
        environment = std::map<std::string, std::string>{{"BENCHMARK", "1"}, {"PROFILE_GPU", "1"}, {"PROFILE_STAGES", "1"}};
        log("Diagnostics ON: BENCHMARK + PROFILE_GPU + PROFILE_STAGES enabled");
    }

    // The line callback of this moment serves the whole run. Capturing `this`
    // is safe: the ProcessRunner delivers no line after its run has
    // returned, and this object outlives its own run.
    auto engineLog = onLog;
    // The engine says why it failed on a line of its own; stdout and stderr
    // arrive on separate queues, so the last such line is kept, not the last line.
    struct LastErrorLine {
        std::mutex lock;
        std::optional<std::string> text;  // guarded by `lock`
    };
    auto lastError = std::make_shared<LastErrorLine>();
    int32_t status = runner_.run(
        {.executablePath = trevikPath_,
         .arguments = engineArguments,
         .workingDirectory = workingDirectory,
         .environment = environment},
        [this, engineLog, lastError](const std::string& line) {
            if (engineLog) engineLog(line);
            parseStats(line);
            constexpr std::string_view errorPrefix = "error: ";
            if (line.starts_with(errorPrefix) && line.size() > errorPrefix.size()) {
                std::lock_guard lock(lastError->lock);
                lastError->text = line.substr(errorPrefix.size());
            }
        },
        [this](int32_t pid) {
            if (onPidLaunched) onPidLaunched(pid);
        });

    if (status == 0) {
        log("✓ trevik training completed successfully.");
        return;
    }
    std::optional<std::string> cause;
    {
        std::lock_guard lock(lastError->lock);
        cause = lastError->text;
    }
    if (status < 0) throw TrevikError::trainingFailed(std::nullopt, -status, std::move(cause));
    throw TrevikError::trainingFailed(status, std::nullopt, std::move(cause));
}

void TrevikRunner::parseStats(const std::string& line) {
    if (line.find("step=") == std::string::npos) return;
    int64_t step = 0, splats = 0;
    float msPerStep = 0;
    size_t start = 0;
    while (start <= line.size()) {
        size_t blank = line.find(' ', start);
        std::string token = line.substr(start, blank == std::string::npos ? std::string::npos : blank - start);
        if (token.starts_with("step=")) {
            step = parseInteger(removingAll(token, "step=")).value_or(0);
        } else if (token.starts_with("splats=")) {
            splats = parseInteger(removingAll(removingAll(token, "splats="), ",")).value_or(0);
        } else if (token.ends_with("ms/step")) {
            msPerStep = parseFloat(removingAll(token, "ms/step")).value_or(0.0f);
        }
        if (blank == std::string::npos) break;
        start = blank + 1;
    }
    if (step >= 1 && onStats) onStats(step, splats, msPerStep);
}

}  // namespace tessaron::engines
