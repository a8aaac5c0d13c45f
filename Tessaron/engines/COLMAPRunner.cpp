#include "engines/COLMAPRunner.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <map>
#include <system_error>

#include "core/AtomicFile.hpp"
#include "core/AvailableCPUs.hpp"
#include "core/ResourceLocator.hpp"
#include "engines/SubModelPromotion.hpp"

namespace tessaron::engines {

namespace fs = std::filesystem;

namespace {

constexpr const char* executableName = "colmap";

struct ModeOptions {
    std::vector<std::string> extraction;
    std::string maxNumMatches;
    std::string bannerMarker;
};

ModeOptions modeOptions(FeatureExtractionMode mode) {
    switch (mode) {
        case FeatureExtractionMode::aggressive:
            return {{"--FeatureExtraction.max_image_size", "3200", "--SiftExtraction.max_num_features", "16384",
                     "--SiftExtraction.peak_threshold", "0.0033", "--SiftExtraction.edge_threshold", "20",
                     "--SiftExtraction.num_octaves", "5", "--SiftExtraction.octave_resolution", "4"},
                    "65536",
                    " [AGGRESSIVE]"};
        case FeatureExtractionMode::standard:
            break;
    }
    return {{"--FeatureExtraction.max_image_size", "1600", "--SiftExtraction.max_num_features", "8192"}, "32768", ""};
}

// The CPUs this process may run on (its affinity), which COLMAP's threads share.
int activeProcessorCount() { return static_cast<int>(core::availableCPUs()); }

bool fileExists(const fs::path& path) {
    std::error_code error;
    return fs::exists(path, error);
}

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return text;
}

// Image file names of one camera folder, in code-point order; a folder that
// cannot be listed holds no frames.
std::vector<std::string> frameNames(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::string name = it->path().filename().string();
        std::string lower = lowercased(name);
        if (lower.ends_with(".jpg") || lower.ends_with(".jpeg") || lower.ends_with(".png"))
            names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

std::string toString(FeatureExtractionMode mode) {
    return mode == FeatureExtractionMode::aggressive ? "aggressive" : "standard";
}

std::optional<FeatureExtractionMode> featureExtractionModeFromString(std::string_view text) {
    if (text == "standard") return FeatureExtractionMode::standard;
    if (text == "aggressive") return FeatureExtractionMode::aggressive;
    return std::nullopt;
}

// ---- Errors ----

COLMAPRunner::COLMAPError COLMAPRunner::COLMAPError::binaryNotFound(const std::string& path) {
    COLMAPError error(COLMAPErrorKind::binaryNotFound,
                      "COLMAP engine not found in the app bundle (expected at " + path + "). " +
                          "Install Debian's colmap package — or in a dev checkout, run scripts/setup.sh.");
    error.path = path;
    return error;
}

namespace {

std::string statusText(int32_t status) { return "(exit " + std::to_string(status) + ")"; }

}  // namespace

COLMAPRunner::COLMAPError COLMAPRunner::COLMAPError::stepFailed(COLMAPErrorKind kind, const std::string& description,
                                                               int32_t status, std::optional<std::string> cause) {
    COLMAPError error(kind, description + " " + statusText(status));
    error.status = status;
    error.cause = std::move(cause);
    return error;
}

std::string COLMAPRunner::COLMAPError::describedWithCause() const {
    return cause ? std::string(what()) + ": " + *cause : std::string(what());
}

std::optional<std::string> COLMAPRunner::COLMAPError::causeOf(std::string_view line) {
    auto isSpace = [](char character) { return std::isspace(static_cast<unsigned char>(character)) != 0; };
    auto isDigit = [](char character) { return std::isdigit(static_cast<unsigned char>(character)) != 0; };
    while (!line.empty() && isSpace(line.back())) line.remove_suffix(1);
    // glog: "E1208 12:00:00.000000  1234 file.cc:123] message" ("F" when
    // fatal; newer glog writes the year too, "E20261208 ...").
    auto isGlogError = [&](std::string_view text) {
        if (text.empty() || (text[0] != 'E' && text[0] != 'F')) return false;
        std::size_t digits = 1;
        while (digits < text.size() && isDigit(text[digits])) ++digits;
        if ((digits != 5 && digits != 9) || text.substr(digits, 1) != " ") return false;
        const std::string_view time = text.substr(digits + 1, 15);  // "12:00:00.000000"
        if (time.size() != 15) return false;
        for (std::size_t index = 0; index < time.size(); ++index)
            if (index == 2 || index == 5 ? time[index] != ':' : index == 8 ? time[index] != '.' : !isDigit(time[index]))
                return false;
        return true;
    };
    constexpr std::string_view errorPrefix = "ERROR: ";
    constexpr std::string_view checkFailed = "] Check failed: ";
    std::string_view message;
    if (line.starts_with(errorPrefix)) {
        message = line.substr(errorPrefix.size());
    } else if (isGlogError(line)) {
        const std::size_t end = line.find("] ");
        if (end == std::string_view::npos) return std::nullopt;
        message = line.substr(end + 2);
    } else if (line.starts_with("[") && line.find(checkFailed) != std::string_view::npos) {
        // COLMAP's own checks: "[option_manager.cc:815] Check failed: ...".
        message = line.substr(line.find(checkFailed) + 2);
    } else if (line.starts_with("SQLite error ")) {
        message = line;
    } else {
        return std::nullopt;
    }
    while (!message.empty() && isSpace(message.front())) message.remove_prefix(1);
    if (message.empty()) return std::nullopt;
    if (message.size() <= maxCauseLength) return std::string(message);
    // Cut at a character boundary, and say that it was cut.
    std::size_t length = maxCauseLength;
    while (length > 0 && (static_cast<unsigned char>(message[length]) & 0xC0) == 0x80) --length;
    return std::string(message.substr(0, length)) + "…";
}

COLMAPRunner::COLMAPError COLMAPRunner::COLMAPError::featureExtractionFailed(int32_t status,
                                                                           std::optional<std::string> cause) {
    return stepFailed(COLMAPErrorKind::featureExtractionFailed, "Feature extraction failed", status, std::move(cause));
}

COLMAPRunner::COLMAPError COLMAPRunner::COLMAPError::rigConfigurationFailed(int32_t status,
                                                                          std::optional<std::string> cause) {
    return stepFailed(COLMAPErrorKind::rigConfigurationFailed, "360 rig configuration failed", status, std::move(cause));
}

COLMAPRunner::COLMAPError COLMAPRunner::COLMAPError::matchingFailed(int32_t status, std::optional<std::string> cause) {
    return stepFailed(COLMAPErrorKind::matchingFailed, "Feature matching failed", status, std::move(cause));
}

COLMAPRunner::COLMAPError COLMAPRunner::COLMAPError::reconstructionFailed(int32_t status,
                                                                        std::optional<std::string> cause) {
    return stepFailed(COLMAPErrorKind::reconstructionFailed, "Sparse reconstruction failed", status, std::move(cause));
}

COLMAPRunner::COLMAPError COLMAPRunner::COLMAPError::reconstructionEmpty(const std::string& modelPath) {
    COLMAPError error(COLMAPErrorKind::reconstructionEmpty,
                      "Sparse reconstruction failed: COLMAP wrote no model (no cameras.bin, images.bin and "
                      "points3D.bin in " +
                          modelPath + ")");
    error.path = modelPath;
    return error;
}

COLMAPRunner::COLMAPError COLMAPRunner::COLMAPError::diskFull(const std::string& folder, int32_t status) {
    COLMAPError error(COLMAPErrorKind::diskFull, "The disk is full: COLMAP could not write to " + folder + " " +
                                                     statusText(status) + ". Free some space and run again.");
    error.path = folder;
    error.status = status;
    return error;
}

// ---- Set-up ----

COLMAPRunner::COLMAPRunner(std::optional<std::string> colmapPath)
    : colmapPath_(colmapPath ? std::move(*colmapPath)
                             : locateExecutable(core::ResourceLocator::bundleResourcesDirectory(),
                                                core::ResourceLocator::developmentResourcesDirectory())),
      maxThreads_(threadCount(activeProcessorCount())) {}

int COLMAPRunner::threadCount(int processorCount) {
    if (processorCount >= 14) return 6;
    if (processorCount >= 4) return processorCount / 2;
    return 2;
}

std::string COLMAPRunner::locateExecutable(const fs::path& bundleResources, const fs::path& developmentResources) {
    const fs::path bundleCandidate = bundleResources / executableName;
    if (fileExists(bundleCandidate)) return bundleCandidate.string();
    if (!developmentResources.empty() && fileExists(developmentResources / executableName))
        return (developmentResources / executableName).string();
    // Debian installs COLMAP on the PATH; the bundle candidate stays the
    // answer when it is nowhere, so the error names where it belongs.
    if (auto onPath = core::ResourceLocator::findExecutable(executableName, true)) return onPath->string();
    return bundleCandidate.string();
}

// ---- Running ----

// What every step of one run shares.
struct COLMAPRunner::Session {
    COLMAPVersion version;
    std::map<std::string, std::string> environment;
    std::string outputPath;  // named when the disk fills up
};

void COLMAPRunner::log(const std::string& line) const {
    if (onLog) onLog(line);
}

COLMAPVersion COLMAPRunner::programVersion(const std::map<std::string, std::string>& environment) {
    if (version_) return *version_;
    std::vector<std::string> lines;
    const int32_t status = runner_.run({.executablePath = colmapPath_, .arguments = {"-h"}, .environment = environment},
                                       [&lines](const std::string& line) { lines.push_back(line); });
    COLMAPVersion version = COLMAPVersion::fromHelpOutput(lines);
    // A probe cut short (a cancel) may have missed the version; ask again
    // next time rather than remember a guess.
    if (status == 0) version_ = version;
    return version;
}

void COLMAPRunner::runStep(Step step, const std::vector<std::string>& arguments, const Session& session) {
    std::vector<std::string> translated;
    translated.reserve(arguments.size());
    for (const std::string& argument : arguments) translated.push_back(session.version.optionName(argument));

    // SQLite and the C library say so in these words; the step's own failure
    // text would hide the cause.
    bool diskFull = false;
    // What COLMAP last said was wrong; its lines come one at a time and
    // never after `run` has returned.
    std::optional<std::string> cause;
    const int32_t status = runner_.run(
        {.executablePath = colmapPath_, .arguments = translated, .environment = session.environment},
        [this, &diskFull, &cause](const std::string& line) {
            if (line.find("database or disk is full") != std::string::npos ||
                line.find("No space left on device") != std::string::npos)
                diskFull = true;
            if (auto said = COLMAPError::causeOf(line)) cause = std::move(said);
            log(line);
        },
        [this](int32_t pid) {
            if (onPidLaunched) onPidLaunched(pid);
        });
    if (status == 0) return;
    if (diskFull) throw COLMAPError::diskFull(session.outputPath, status);
    switch (step) {
        case Step::featureExtraction: throw COLMAPError::featureExtractionFailed(status, std::move(cause));
        case Step::rigConfiguration: throw COLMAPError::rigConfigurationFailed(status, std::move(cause));
        case Step::matching: throw COLMAPError::matchingFailed(status, std::move(cause));
        case Step::reconstruction: throw COLMAPError::reconstructionFailed(status, std::move(cause));
    }
}

void COLMAPRunner::Options::check() const {
    auto refuse = [](const std::string& field, const std::string& why) {
        throw OptionsError("COLMAP option " + field + " " + why);
    };
    if (imagePath.empty()) refuse("imagePath", "is empty");
    if (outputPath.empty()) refuse("outputPath", "is empty");
    if (rig) {
        if (rig->layout.cameraCount < 1) refuse("rig.layout.cameraCount", "must be at least 1");
        if (rig->layout.referenceCameraName.empty()) refuse("rig.layout.referenceCameraName", "is empty");
        if (!rig->layout.rigConfigJSON || !rig->layout.matchPairLines) refuse("rig.layout", "lacks its file makers");
    }
}

void COLMAPRunner::run(const Options& settings) {
    settings.check();
    if (!fileExists(colmapPath_)) throw COLMAPError::binaryNotFound(colmapPath_);

    const std::string& imagePath = settings.imagePath;
    const std::string& outputPath = settings.outputPath;
    const std::optional<Rig360Config>& rig = settings.rig;
    const bool openCVRig = settings.openCVRig;
    const bool useGlobalMapper = settings.useGlobalMapper;
    const std::string threads = std::to_string(maxThreads_);
    const std::string databasePath = outputPath + "/database.db";
    const std::string sparsePath = outputPath + "/sparse";
    const ModeOptions options = modeOptions(settings.mode);

    fs::create_directories(sparsePath);
    // COLMAP's glog files belong with the run, not in /tmp.
    const std::map<std::string, std::string> environment = {{"GLOG_log_dir", outputPath}};
    const Session session{programVersion(environment), environment, outputPath};
    const COLMAPVersion& version = session.version;

    // A build without CUDA would run its SIFT through OpenGL, which aborts
    // without a display: it extracts on the CPU, and the banner says so.
    const bool extractOnGPU = settings.useGPU && !version.withoutCUDA;
    log("Hardware: " + std::to_string(activeProcessorCount()) + " cores, using " + threads + " threads");
    log(std::string("═══ Step 1/3: Feature Extraction (") + (extractOnGPU ? "GPU SIFT" : "CPU SIFT") +
        options.bannerMarker + ") ═══");

    std::vector<std::string> extraction = {"feature_extractor", "--database_path", databasePath, "--image_path",
                                           imagePath, "--FeatureExtraction.use_gpu", extractOnGPU ? "1" : "0",
                                           "--FeatureExtraction.num_threads", threads};
    if (rig) {
        // OPENCV takes k1, k2, p1, p2 beyond PINHOLE's four values; the crops
        // are undistorted, so they start at zero.
        const std::string params = openCVRig ? rig->layout.cameraParams + ",0,0,0,0" : rig->layout.cameraParams;
        extraction.insert(extraction.end(), {"--ImageReader.single_camera_per_folder", "1", "--ImageReader.camera_model",
                                             openCVRig ? "OPENCV" : "PINHOLE", "--ImageReader.camera_params", params});
        if (rig->maskDir) extraction.insert(extraction.end(), {"--ImageReader.mask_path", *rig->maskDir});
    } else {
        extraction.insert(extraction.end(), {"--ImageReader.single_camera", settings.singleCamera ? "1" : "0"});
    }
    extraction.insert(extraction.end(), options.extraction.begin(), options.extraction.end());
    runStep(Step::featureExtraction, extraction, session);

    if (rig) {
        log("═══ Rig configuration (" + std::to_string(rig->layout.cameraCount) + " virtual cameras) ═══");
        const std::string rigConfigPath = outputPath + "/rig_config.json";
        core::AtomicFile::write(rigConfigPath, rig->layout.rigConfigJSON());
        if (version.hasSubcommand("rig_configurator")) {
            runStep(Step::rigConfiguration,
                    {"rig_configurator", "--database_path", databasePath, "--rig_config_path", rigConfigPath}, session);
        } else {
            log("⚠ COLMAP " + version.text() +
                " has no rig_configurator: the crops are matched and mapped as separate cameras, one per camera "
                "folder, without the rig constraint.");
        }
    }

    std::vector<std::string> matcherOptions = {"--FeatureMatching.num_threads", threads,
                                               "--FeatureMatching.max_num_matches", options.maxNumMatches};
    if (version.withoutCUDA) matcherOptions.insert(matcherOptions.end(), {"--FeatureMatching.use_gpu", "0"});

    std::vector<std::string> matching;
    if (rig) {
        log("═══ Step 2/3: Rig Pair Matching (matches_importer) ═══");
        const std::vector<std::string> names = frameNames(fs::path(imagePath) / rig->layout.referenceCameraName);
        const std::vector<std::string> lines = rig->layout.matchPairLines(names);
        log("Match plan: " + std::to_string(names.size()) + " rig frames × " +
            std::to_string(rig->layout.cameraCount) + " crops → " + std::to_string(lines.size()) + " pairs");
        const std::string matchPairsPath = outputPath + "/match_pairs.txt";
        std::string text;
        for (const std::string& line : lines) text += line + "\n";
        if (lines.empty()) text = "\n";
        core::AtomicFile::write(matchPairsPath, text);
        matching = {"matches_importer", "--database_path", databasePath, "--match_list_path", matchPairsPath};
        matching.insert(matching.end(), matcherOptions.begin(), matcherOptions.end());
    } else if (settings.sequentialMatching) {
        log("═══ Step 2/3: Sequential Matching ═══");
        matching = {"sequential_matcher", "--database_path", databasePath, "--SequentialMatching.overlap", "10",
                    "--SequentialMatching.quadratic_overlap", "1"};
        matching.insert(matching.end(), matcherOptions.begin(), matcherOptions.end());
        if (const auto& vocabTreePath = settings.vocabTreePath; vocabTreePath && fileExists(*vocabTreePath)) {
            log("Loop closure: enabled (vocab tree: " + *vocabTreePath + ")");
            matching.insert(matching.end(),
                            {"--SequentialMatching.loop_detection", "1", "--SequentialMatching.loop_detection_period",
                             "10", "--SequentialMatching.loop_detection_num_images", "50",
                             "--SequentialMatching.vocab_tree_path", *vocabTreePath});
        } else {
            log("Loop closure: disabled (no vocab tree at " + settings.vocabTreePath.value_or("nil") +
                " — sequential-only matching)");
        }
    } else {
        log("═══ Step 2/3: Exhaustive Matching ═══");
        matching = {"exhaustive_matcher", "--database_path", databasePath};
        matching.insert(matching.end(), matcherOptions.begin(), matcherOptions.end());
    }
    runStep(Step::matching, matching, session);

    const bool globalMapperAvailable = version.hasSubcommand("global_mapper");
    if (useGlobalMapper) {
        log("═══ Step 3/3: Global Reconstruction (GLOMAP — fast mode) ═══");
        if (globalMapperAvailable) {
            runStep(Step::reconstruction,
                    {"global_mapper", "--database_path", databasePath, "--image_path", imagePath, "--output_path",
                     sparsePath, "--GlobalMapper.num_threads", threads},
                    session);
        } else {
            log("⚠ COLMAP " + version.text() +
                " has no global_mapper: running the incremental mapper instead, without GLOMAP's global "
                "reconstruction and without snapshots.");
        }
    } else {
        log("═══ Step 3/3: Incremental Reconstruction (recommended) ═══");
    }
    if (!useGlobalMapper || !globalMapperAvailable) {
        std::vector<std::string> mapping = {"mapper", "--database_path", databasePath, "--image_path", imagePath,
                                            "--output_path", sparsePath, "--Mapper.num_threads", threads};
        if (rig) {
            const char* refine = openCVRig ? "1" : "0";
            mapping.insert(mapping.end(), {"--Mapper.ba_refine_focal_length", refine,
                                           "--Mapper.ba_refine_principal_point", refine,
                                           "--Mapper.ba_refine_extra_params", refine});
        }
        // The global path never asks for snapshots, also when it falls back.
        if (!useGlobalMapper && settings.snapshotPath && settings.snapshotFrequency >= 1) {
            std::error_code ignored;  // COLMAP reports a missing folder itself
            fs::create_directories(*settings.snapshotPath, ignored);
            mapping.insert(mapping.end(), {"--Mapper.snapshot_path", *settings.snapshotPath,
                                           "--Mapper.snapshot_frames_freq", std::to_string(settings.snapshotFrequency)});
        }
        runStep(Step::reconstruction, mapping, session);
    }

    promoteLargestSubModel(sparsePath);
    const fs::path modelPath = fs::path(sparsePath) / "0";
    for (const char* file : {"cameras.bin", "images.bin", "points3D.bin"}) {
        std::error_code error;
        if (!fs::is_regular_file(modelPath / file, error)) throw COLMAPError::reconstructionEmpty(modelPath.string());
    }
    log("✓ COLMAP pipeline completed successfully.");
}

void COLMAPRunner::promoteLargestSubModel(const std::string& sparsePath) {
    SubModelPromotion::promoteLargestSubModel(sparsePath, [this](const std::string& line) { log(line); });
}

}  // namespace tessaron::engines
