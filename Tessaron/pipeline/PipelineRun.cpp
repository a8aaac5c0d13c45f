// The first half of a run: workspace set-up, the input route (photos in
// place, frames from a video, 360° crops, an imported COLMAP model), COLMAP,
// and the trainer's dataset folder with the run settings.
#include <cmath>
#include <system_error>

#include "core/Error.hpp"
#include "core/NumberText.hpp"
#include "core/ResourceLocator.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "engines/DatasetProfile.hpp"
#include "core/FileError.hpp"
#include "engines/WorkspaceFiles.hpp"
#include "input/PersonMasker.hpp"
#include "pipeline/PathUtilities.hpp"
#include "pipeline/PhotoFolderCheck.hpp"
#include "pipeline/PipelineManager.hpp"
#include "pipeline/RunConfig.hpp"

namespace tessaron::pipeline {

namespace fs = std::filesystem;

namespace {

constexpr const char* vocabularyTreeName = "vocab_tree_flickr100K_words32K.bin";

void createFolders(const fs::path& folder) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) throw core::FileError("create folder", folder, error);
    // create_directories is content with anything of that name.
    if (!fs::is_directory(folder, error))
        throw core::FileError("create folder", folder, std::make_error_code(std::errc::not_a_directory));
}

bool isDirectory(const fs::path& path) {
    std::error_code error;
    return fs::is_directory(path, error);
}

bool itemExists(const fs::path& path) {
    std::error_code error;
    return fs::exists(path, error);
}

engines::Rig360Config::Layout rigLayout(const input::CropLayout& layout) {
    engines::Rig360Config::Layout rig;
    rig.cameraCount = layout.cameraCount();
    rig.referenceCameraName = layout.referenceCameraName();
    rig.cameraParams = layout.cameraParams();
    rig.rigConfigJSON = [layout] { return layout.rigConfigJSON(); };
    rig.matchPairLines = [layout](const std::vector<std::string>& frameNames) {
        return layout.matchPairLines(frameNames);
    };
    return rig;
}

}  // namespace

void PipelineManager::RunParameters::check() const {
    auto refuse = [](const std::string& field, const std::string& why) {
        throw OptionsError("Run option " + field + " " + why);
    };
    using engines::TrainingLimits;
    if (auto problem = TrainingLimits::iterations.refusal(iterations)) refuse("iterations", *problem);
    // 0 asks for the automatic factor.
    if (trevikDownscaleFactor != 0)
        if (auto problem = TrainingLimits::downscale.refusal(trevikDownscaleFactor))
            refuse("trevikDownscaleFactor", *problem);
    if (auto problem = TrainingLimits::capMax.refusal(capMax)) refuse("capMax", *problem);
}

void PipelineManager::runPipeline(const RunParameters& parameters, std::stop_token stopToken) {
    runGuarded(PipelineLogStep::export_, stopToken, [&] {
        parameters.check();
        runStages(parameters);
    });
}

void PipelineManager::runStages(const RunParameters& given) {
    RunParameters parameters = given;
    parameters.inputURL = withoutTrailingSeparator(parameters.inputURL);
    parameters.workspaceURL = withoutTrailingSeparator(parameters.workspaceURL);
    if (parameters.colmapDataURL) parameters.colmapDataURL = withoutTrailingSeparator(*parameters.colmapDataURL);

    std::optional<input::CropLayout> layout;
    bool masking = false;
    if (parameters.is360) {
        layout = parameters.cropLayout ? *parameters.cropLayout
                                       : input::CropLayout(input::CropLayoutPreset::fullSphere16, 2048, 100);
        masking = parameters.personMaskMode != input::PersonMaskMode::off;
    }

    const fs::path& workspace = parameters.workspaceURL;
    fs::path colmapDir = workspace / "colmap";
    std::optional<PhotoFolderCheck::Result> photoCheck;
    if (!(parameters.skipSfM && parameters.colmapDataURL) && !parameters.isVideo) {
        // COLMAP would abort on a folder without images, after minutes.
        try {
            photoCheck = PhotoFolderCheck::require(parameters.inputURL, workspace, cancelProbe());
        } catch (const core::CancellationError&) {
            checkCancelled(PipelineLogStep::sfm);
            return;
        } catch (const PhotoFolderCheck::Error& error) {
            throw StageError(PipelineLogStep::sfm, std::string("Error: ") + error.what(), error.what());
        }
        if (photoCheck->sizes().size() > 1 && layout) {
            // The rig's cameras are the layout's crops, all of one size.
            const std::string message = "The photos in " + parameters.inputURL.string() + " come in " +
                                        std::to_string(photoCheck->sizes().size()) + " sizes (" +
                                        photoCheck->sizesText() +
                                        "), and the 360° rig takes photos of one size only. Use photos of one "
                                        "size, or turn off 360° mode.";
            throw StageError(PipelineLogStep::sfm, "Error: " + message, message);
        }
    }
    try {
        createFolders(workspace);
        createFolders(colmapDir);
    } catch (const std::exception& error) {
        // The run log is not open yet: these reach only the callbacks.
        throw StageError(PipelineLogStep::extraction, std::string("Error creating workspace: ") + error.what(),
                         error.what());
    }

    runLog_.open(workspace);

    fs::path imageDir;
    fs::path colmapImageDir;  // what COLMAP reads, when not the image folder itself
    if (parameters.skipSfM && parameters.colmapDataURL) {
        colmapDir = importModel(parameters);
        std::optional<fs::path> images;
        const fs::path& modelFolder = *parameters.colmapDataURL;
        const std::pair<fs::path, const char*> candidates[] = {
            {modelFolder.parent_path() / "images", "Images resolved (workspace sibling): "},
            {modelFolder / "images", "Images resolved (COLMAP child): "},
            {parameters.inputURL, "Images resolved from input folder: "},
        };
        for (const auto& [candidate, label] : candidates) {
            if (!isDirectory(candidate)) continue;
            images = candidate;
            log(PipelineLogStep::sfm, label + candidate.string());
            break;
        }
        if (!images) {
            // The input folder is the last resort and not worth naming.
            log(PipelineLogStep::sfm, "Error: Cannot locate images folder.");
            log(PipelineLogStep::sfm, "  Searched: " + candidates[0].first.string());
            throw StageError(PipelineLogStep::sfm, "  Searched: " + candidates[1].first.string(),
                             "Skip COLMAP: images folder not found alongside COLMAP data.");
        }
        imageDir = *images;
        if (checkCancelled(PipelineLogStep::dataPrep)) return;
    } else {
        if (parameters.isVideo) {
            auto extracted = extractVideo(parameters, layout, masking);
            if (!extracted) return;
            imageDir = colmapImageDir = *extracted;
        } else {
            imageDir = parameters.inputURL;  // photos are used in place
            // COLMAP reads the photos through links to those the check kept,
            // under their own names: what the check refused never reaches it,
            // and training finds the names COLMAP records in the photo folder.
            colmapImageDir = colmapDir / "images";
            if (auto warning = photoCheck->listing.warning()) log(PipelineLogStep::sfm, *warning);
            if (auto warning = photoCheck->warning()) log(PipelineLogStep::sfm, *warning);
            if (photoCheck->sizes().size() > 1 && parameters.colmapSingleCamera) {
                // One shared camera takes photos of the first one's size
                // only; COLMAP would skip the others with a line each.
                parameters.colmapSingleCamera = false;
                log(PipelineLogStep::sfm, "⚠ The photos come in " + std::to_string(photoCheck->sizes().size()) +
                                              " sizes (" + photoCheck->sizesText() +
                                              ") and one shared camera takes one size only: each photo gets a "
                                              "camera of its own (Single Camera Mode is set aside for this run).");
            }
            try {
                photoCheck->linkKeptPhotos(colmapImageDir);
            } catch (const std::exception& error) {
                throw StageError(PipelineLogStep::sfm, std::string("Error: ") + error.what(), error.what());
            }
            if (checkCancelled(PipelineLogStep::sfm)) return;
            reportState(PipelineState::Kind::processingSfM);
        }
        if (!runCOLMAPStage(parameters, colmapImageDir, colmapDir, layout, masking)) return;
        if (checkCancelled(PipelineLogStep::dataPrep)) return;
    }

    TrainingContext context;
    context.parameters = parameters;
    context.workspace = workspace;
    context.imageDir = imageDir;
    context.colmapImageDir = colmapImageDir.empty() ? imageDir : colmapImageDir;
    context.colmapDir = colmapDir;
    context.modelDir = colmapDir / "sparse" / "0";
    context.outputFile = workspace / "output.ply";
    context.layout = layout;
    prepareDataset(std::move(context));
}

std::optional<fs::path> PipelineManager::extractVideo(const RunParameters& parameters,
                                                      const std::optional<input::CropLayout>& layout, bool masking) {
    reportState(PipelineState::Kind::extractingFrames);
    const std::string note = parameters.sharpnessEnabled
                                 ? " (blur filter ON, threshold: " + core::shortestText(parameters.sharpnessThreshold) + ")"
                                 : " (no blur filter)";
    const double threshold = parameters.sharpnessEnabled ? parameters.sharpnessThreshold : 0;
    const fs::path imageDir = parameters.workspaceURL / "images";

    input::VideoFrameExtractor::Progress progress;
    progress.onExtractionProgress = extractionProgressForwarder();
    progress.onLog = logForwarder(PipelineLogStep::extraction);
    // The operation's one cancellation: cancel(), or a stop of its task.
    progress.isCancelled = cancelProbe();
    std::int64_t blurry = 0;  // the extraction's thread only
    progress.onBlurrySkipped = [&blurry](std::int64_t count) { blurry = count; };
    std::int64_t kept = 0;

    try {
        if (!layout) {
            log(PipelineLogStep::extraction, "═══ Extracting frames from video" + note + " ═══");
            log(PipelineLogStep::extraction,
                "Extracting 1 in every " + core::countedNoun(parameters.frameExtractionRate, "frame") + "...");
            const int64_t frames = input::VideoFrameExtractor::extractFrames(
                parameters.inputURL, imageDir, parameters.frameExtractionRate, parameters.sharpnessEnabled, threshold,
                progress);
            log(PipelineLogStep::extraction, "✓ Extracted " + core::countedNoun(frames, "frame") + ".");
            kept = frames;
        } else {
            const input::CropSpec& first = layout->crops.front();
            const int64_t cropCount = int64_t(layout->crops.size());
            log(PipelineLogStep::extraction, "═══ Extracting 360° video as " + std::to_string(cropCount) +
                                                 " perspective crops" + note + " ═══");
            log(PipelineLogStep::extraction, "Layout: " + input::displayName(layout->preset) + ", FOV " +
                                                 std::to_string(int64_t(first.fovDegrees)) + "°, " +
                                                 std::to_string(first.size) + "px, 1 in every " +
                                                 core::countedNoun(parameters.frameExtractionRate, "frame"));
            std::unique_ptr<input::PersonMasker> masker;
            std::optional<fs::path> maskDir;
            if (masking) {
                log(PipelineLogStep::extraction, "Person masking: " + input::displayName(parameters.personMaskMode) +
                                                     " (person segmentation per crop)");
                maskDir = parameters.workspaceURL / "masks";
                masker = std::make_unique<input::PersonMasker>(parameters.personMaskMode);
            }
            // The preview's images are fresh for each frame: the copy a
            // posted callback keeps shares them, it does not duplicate them.
            auto preview = [weakSelf = weak_from_this()](const input::VideoFrameExtractor::Conversion360Preview& frame) {
                if (auto self = weakSelf.lock()) self->report<&Callbacks::onConversionPreview>(frame);
            };
            const int64_t rigFrames = input::VideoFrameExtractor::extract360Frames(
                parameters.inputURL, imageDir, *layout, parameters.frameExtractionRate, parameters.sharpnessEnabled,
                threshold, masker.get(), maskDir, preview, progress);
            log(PipelineLogStep::extraction, "✓ Extracted " + std::to_string(rigFrames) + " rig frames → " +
                                                 std::to_string(rigFrames * cropCount) + " crop images.");
            kept = rigFrames;
        }
    } catch (const core::CancellationError&) {
        // Only a cancel ends an extraction this way; the boundary reports it.
        checkCancelled(PipelineLogStep::extraction);
        return std::nullopt;
    } catch (const std::exception& error) {
        if (checkCancelled(PipelineLogStep::extraction)) return std::nullopt;
        throw StageError(PipelineLogStep::extraction, std::string("Error: ") + error.what(), error.what());
    }
    if (checkCancelled(PipelineLogStep::sfm)) return std::nullopt;
    if (kept < std::int64_t(PhotoFolderCheck::minimumPhotos)) {
        // COLMAP aborts on fewer, after its set-up.
        const std::string count = core::countedNoun(kept, layout ? "rig frame" : "frame");
        const std::string needed = "structure from motion needs at least " +
                                   std::to_string(PhotoFolderCheck::minimumPhotos) + ".";
        std::string message;
        if (blurry > 0)
            message = "The blur filter (threshold: " + core::shortestText(parameters.sharpnessThreshold) +
                      ") refused " + std::to_string(blurry) + " of the video's " + std::to_string(blurry + kept) +
                      " selected frames and left " + count + "; " + needed +
                      " Lower the Sharpness Filter's Threshold under Frame Extraction, or turn the filter off.";
        else
            message = "The video gave " + count + " at 1 in every " +
                      core::countedNoun(parameters.frameExtractionRate, "frame") + "; " + needed +
                      " Extract frames more often (Extract 1 frame every) or use a longer video.";
        throw StageError::warning(PipelineLogStep::extraction, message);
    }
    reportState(PipelineState::Kind::processingSfM);
    return imageDir;
}

fs::path PipelineManager::importModel(const RunParameters& parameters) {
    const fs::path& modelFolder = *parameters.colmapDataURL;
    reportState(PipelineState::Kind::processingSfM);
    log(PipelineLogStep::sfm, "═══ Skipping SfM (using existing COLMAP data) ═══");
    log(PipelineLogStep::sfm, "COLMAP folder: " + modelFolder.string());

    const fs::path sparse = modelFolder / "sparse" / "0";
    if (!itemExists(sparse))
        throw StageError(PipelineLogStep::sfm, "Error: sparse/0/ not found in " + modelFolder.string(),
                         "Invalid COLMAP data: missing sparse/0/ directory");
    for (const char* name : {"cameras.bin", "images.bin", "points3D.bin"}) {
        if (itemExists(sparse / name)) continue;
        throw StageError(PipelineLogStep::sfm, std::string("Error: ") + name + " not found in sparse/0/",
                         std::string("Invalid COLMAP data: missing ") + name);
    }
    // The engine reads each image by its name below the images folder: a
    // name that leads outside it is refused here, before anything is copied.
    colmap::ImageMap images;
    try {
        images = colmap::COLMAPUtils::readImages(sparse / "images.bin");
    } catch (const std::exception& error) {
        throw StageError(PipelineLogStep::sfm, std::string("Error: images.bin could not be read: ") + error.what(),
                         std::string("Invalid COLMAP data: images.bin could not be read: ") + error.what());
    }
    for (const auto& [imageId, image] : images) {
        if (auto outside = colmap::COLMAPUtils::imageNameOutsideFolder(image.name))
            throw StageError(PipelineLogStep::sfm, "Error: " + *outside, "Invalid COLMAP data: " + *outside);
    }
    log(PipelineLogStep::sfm, "✓ COLMAP data validated (cameras.bin, images.bin, points3D.bin)");

    try {
        fs::path colmapDir = engines::WorkspaceFiles::importCOLMAPModel(modelFolder, parameters.workspaceURL);
        log(PipelineLogStep::sfm, "✓ Reconstruction copied into the workspace");
        return colmapDir;
    } catch (const std::exception& error) {
        throw StageError(PipelineLogStep::sfm,
                         std::string("Error: could not copy the reconstruction into the workspace: ") + error.what(),
                         std::string("Could not copy the COLMAP data into the workspace: ") + error.what());
    }
}

bool PipelineManager::runCOLMAPStage(const RunParameters& parameters, const fs::path& imageDir,
                                     const fs::path& colmapDir, const std::optional<input::CropLayout>& layout,
                                     bool masking) {
    colmapRunner_.onLog = logForwarder(PipelineLogStep::sfm);

    // The bundle's resources, then the build tree's.
    std::optional<std::string> vocabularyTree = firstExistingPath({
        (core::ResourceLocator::bundleResourcesDirectory() / vocabularyTreeName).string(),
        (core::ResourceLocator::developmentResourcesDirectory() / vocabularyTreeName).string(),
    });

    const fs::path snapshots = colmapDir / "snapshots";
    std::error_code ignored;  // an old snapshot folder that stays never fails the run
    fs::remove_all(snapshots, ignored);

    std::optional<engines::Rig360Config> rig;
    if (layout) {
        rig = engines::Rig360Config{rigLayout(*layout), std::nullopt};
        const fs::path masks = parameters.workspaceURL / "masks";
        if (masking && itemExists(masks)) rig->maskDir = masks.string();
    }

    try {
        engines::COLMAPRunner::Options options;
        options.imagePath = imageDir.string();
        options.outputPath = colmapDir.string();
        options.singleCamera = parameters.colmapSingleCamera;
        options.sequentialMatching = parameters.isVideo;
        // A rig is always mapped incrementally.
        options.useGlobalMapper = parameters.useGlobalMapper && !rig;
        options.useGPU = parameters.useGPUSIFT;
        options.mode = parameters.useAggressiveSIFT ? engines::FeatureExtractionMode::aggressive
                                                    : engines::FeatureExtractionMode::standard;
        options.vocabTreePath = vocabularyTree;
        options.snapshotPath = snapshots.string();
        options.rig = rig;
        colmapRunner_.run(options);
    } catch (const std::exception& error) {
        unwatch("colmap");
        // A cancel ends COLMAP by terminating it, and the runner then throws:
        // that is the cancel, not a failure of COLMAP.
        if (checkCancelled(PipelineLogStep::sfm)) return false;
        // COLMAP's own reason is in the log above; the final message carries it too.
        auto* failed = dynamic_cast<const engines::COLMAPRunner::COLMAPError*>(&error);
        throw StageError(PipelineLogStep::sfm, std::string("COLMAP error: ") + error.what(),
                         failed ? failed->describedWithCause() : std::string(error.what()));
    }
    unwatch("colmap");
    return true;
}

void PipelineManager::prepareDataset(TrainingContext context) {
    const RunParameters& parameters = context.parameters;
    reportState(PipelineState::Kind::preparingData);
    log(PipelineLogStep::dataPrep, "═══ Preparing dataset for trevik ═══");

    const fs::path dataset = context.workspace / "dataset";
    const fs::path masks = context.workspace / "masks";
    try {
        createFolders(dataset);
        symlinkReplacing(dataset / "images", context.imageDir);
        symlinkReplacing(dataset / "sparse", context.colmapDir / "sparse");
        if (itemExists(masks)) symlinkReplacing(dataset / "masks", masks);
    } catch (const std::exception& error) {
        throw StageError(PipelineLogStep::dataPrep, std::string("Data prep error: ") + error.what(), error.what());
    }
    log(PipelineLogStep::dataPrep, "✓ Dataset prepared at: " + dataset.string());

    context.maskDir = findMaskDirectory(context.imageDir, context.workspace);
    if (context.maskDir)
        log(PipelineLogStep::training, "Person masks found — training with --mask-dir " + *context.maskDir);

    trevikRunner_.onLog = logForwarder(PipelineLogStep::training);
    trevikRunner_.onStats = trainingStatsForwarder();

    int downscale = parameters.trevikDownscaleFactor;
    if (downscale == 0) {
        // Measured on what COLMAP read, so that a photo the check left out
        // is never the one measured.
        auto profile = engines::DatasetProfile::scan(context.colmapImageDir);
        if (!profile)
            downscale = 4;
        else
            downscale = profile->nativeWidth * profile->nativeHeight <= 4000000 ? 2 : 4;
    }
    if (context.layout) {
        log(PipelineLogStep::dataPrep, "360 mode: training at full crop resolution (downscale 1×)");
        downscale = 1;
    }
    context.downscale = downscale;
    log(PipelineLogStep::dataPrep, "Image downscale factor: " + std::to_string(downscale) + "x");

    try {
        // With what a resume needs to plan the scene again as this run does.
        RunConfig config(downscale, parameters.trevikEval, parameters.capMax, parameters.iterations);
        if (std::isfinite(parameters.ramLimitGB) && parameters.ramLimitGB > 0) config.ramLimitGB = parameters.ramLimitGB;
        config.viewsPerFrame = context.layout ? int64_t(context.layout->crops.size()) : 0;
        config.overridePartitionParams = parameters.overrideVastGaussianParams;
        config.save(context.workspace);
    } catch (const std::exception& error) {
        log(PipelineLogStep::dataPrep, std::string("⚠ Could not save the run settings (") + error.what() +
                                           ") — Resume will read them from the log.");
    }

    if (parameters.useVastGaussian)
        trainPartitioned(context);
    else
        trainSingleModel(context);
}

}  // namespace tessaron::pipeline
