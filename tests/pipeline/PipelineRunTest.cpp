// Whole runs of PipelineManager with the tests' training engine. COLMAP is
// either skipped (an imported model) or a script that records its command
// lines and leaves a prepared model; the real program runs in colmap/.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <set>
#include <sstream>
#include <thread>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "core/ResourceLocator.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "engines/PLYCheck.hpp"
#include "engines/ProcessMonitor.hpp"
#include "engines/TrevikRunner.hpp"
#include "input/TestVideo.hpp"
#include "pipeline/PipelineManager.hpp"
#include "pipeline/RunConfig.hpp"
#include "pipeline/WorkspaceScanner.hpp"
#include "PipelineTestSupport.hpp"
#include "support/Fifo.hpp"
#include "support/SyntheticDataset.hpp"
#include "support/TempDir.hpp"

using namespace tessaron;
using pipeline::PipelineLogStep;
using pipeline::PipelineManager;
using pipeline::PipelineState;
using Kind = pipeline::PipelineState::Kind;
using tessaron::testing::changeCallbacks;
using tessaron::testing::kinds;
using tessaron::testing::readTextFile;
using tessaron::testing::RunRecorder;
using tessaron::testing::ScopedEnvironment;
using tessaron::testing::SyntheticDataset;
using tessaron::testing::TempDir;
using tessaron::testing::testConfiguration;
using tessaron::testing::writeScript;
using tessaron::testing::writeTextFile;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

namespace {

constexpr size_t kImages = 10;
constexpr size_t kPoints = 200;

// A COLMAP that writes each command line to a file and, as its mapper, leaves
// the model of `model` in the output folder's "0".
fs::path recordingCOLMAP(const fs::path& folder, const fs::path& model, const fs::path& commandLines) {
    return writeScript(folder / "colmap",
                       "printf '%s\\n' \"$*\" >> '" + commandLines.string() +
                           "'\n"
                           "if [ \"$1\" = \"-h\" ]; then echo 'COLMAP 3.8 -- Structure-from-Motion'; "
                           "echo '(Commit Unknown on Unknown without CUDA)'; exit 0; fi\n"
                           "if [ \"$1\" = \"mapper\" ]; then\n"
                           "  previous=''; output=''\n"
                           "  for argument in \"$@\"; do\n"
                           "    if [ \"$previous\" = '--output_path' ]; then output=\"$argument\"; fi\n"
                           "    previous=\"$argument\"\n"
                           "  done\n"
                           "  mkdir -p \"$output/0\" && cp '" +
                           model.string() +
                           "'/*.bin \"$output/0/\"\n"
                           "fi\n"
                           "exit 0");
}

class PipelineRun : public ::testing::Test {
protected:
    void SetUp() override {
        SyntheticDataset::write(capture_, kImages, SyntheticDataset::latticePoints(kPoints));
        monitor_ = std::make_shared<engines::ProcessMonitor>();
        published_.attach(*monitor_);
        manager_ = PipelineManager::create(monitor_, configuration());
        recorder_.attach(*manager_);
    }

    virtual PipelineManager::Configuration configuration() { return testConfiguration(folder_ / "support"); }

    // The imported-model route on the synthetic capture, trained as one model.
    PipelineManager::RunParameters importRun() const {
        PipelineManager::RunParameters parameters;
        parameters.inputURL = folder_ / "photos-not-used";
        parameters.workspaceURL = workspace_;
        parameters.skipSfM = true;
        parameters.colmapDataURL = capture_;
        parameters.iterations = 30;
        parameters.trevikEval = false;
        parameters.trevikDownscaleFactor = 1;
        parameters.useVastGaussian = false;
        parameters.ramLimitGB = 64;
        return parameters;
    }

    PipelineManager::RunParameters photoRun() const {
        PipelineManager::RunParameters parameters = importRun();
        parameters.skipSfM = false;
        parameters.colmapDataURL.reset();
        parameters.inputURL = capture_ / "images";
        return parameters;
    }

    std::string supportLog() const { return readTextFile(folder_ / "support" / "Logs" / "current_run.md"); }

    std::string workspaceLog() const {
        for (const auto& entry : fs::directory_iterator(workspace_ / "Tessaron_logs")) return readTextFile(entry.path());
        return "";
    }

    // Runs a hook when the run reaches a state, on the run's thread.
    void onState(Kind kind, std::function<void()> hook) {
        changeCallbacks(*manager_, [&](PipelineManager::Callbacks& callbacks) {
            callbacks.onStateChange = [recorded = callbacks.onStateChange, kind, hook](const PipelineState& state) {
                recorded(state);
                if (state.kind == kind) hook();
            };
        });
    }

    TempDir folder_{"pipeline-run"};
    fs::path capture_ = folder_ / "capture";
    fs::path workspace_ = folder_ / "output" / "Tessaron_workspace";
    // Declared before the monitor: it outlives the monitor's last publication.
    tessaron::testing::PublishedSnapshots published_;
    std::shared_ptr<engines::ProcessMonitor> monitor_;
    std::shared_ptr<PipelineManager> manager_;
    RunRecorder recorder_;
};

}  // namespace

// ---- The imported-model route ----

TEST_F(PipelineRun, ImportedModelRunsToAValidatedOutput) {
    manager_->runPipeline(importRun());

    EXPECT_THAT(kinds(recorder_.states()),
                ElementsAre(Kind::processingSfM, Kind::preparingData, Kind::training, Kind::exporting, Kind::completed));
    const fs::path output = workspace_ / "output.ply";
    EXPECT_EQ(engines::PLYCheck::validate(output).vertexCount, int64_t(kPoints));
    EXPECT_FALSE(fs::exists(workspace_ / "output.partial.ply"));
    EXPECT_EQ(recorder_.outputs(), std::vector<std::string>{output.string()});
    EXPECT_THAT(recorder_.cellEvents(), ElementsAre("started 1/1 30", "finished"));
    EXPECT_GT(recorder_.statsCount(), 0);

    EXPECT_EQ(fs::read_symlink(workspace_ / "dataset" / "images"), capture_ / "images");
    EXPECT_EQ(fs::read_symlink(workspace_ / "dataset" / "sparse"), workspace_ / "colmap" / "sparse");
    EXPECT_FALSE(fs::exists(fs::symlink_status(workspace_ / "dataset" / "masks")));
    EXPECT_EQ(colmap::COLMAPUtils::readModel(workspace_ / "colmap" / "sparse" / "0").points3D.size(), kPoints);
    // With what a resume needs to plan the scene again as the run did.
    pipeline::RunConfig recorded{1, false, 1000000, 30};
    recorded.ramLimitGB = 64;
    recorded.viewsPerFrame = 0;
    recorded.overridePartitionParams = false;
    EXPECT_EQ(pipeline::RunConfig::load(workspace_), recorded);

    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::sfm, "Images resolved (COLMAP child): " + (capture_ / "images").string()));
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::sfm, "✓ Reconstruction copied into the workspace"));
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::export_, "✓ Saved 200 Gaussians → output.ply"));
    EXPECT_EQ(recorder_.log().back(), (RunRecorder::LogEntry{PipelineLogStep::export_, "═══ Pipeline complete! ═══"}));

    // Both copies of the run log hold every message, ending with the banner.
    EXPECT_EQ(workspaceLog(), supportLog());
    EXPECT_TRUE(supportLog().ends_with("[EXPORT] ═══ Pipeline complete! ═══\n"));
    EXPECT_THAT(supportLog(), HasSubstr("[TRAIN] Cap Max: 1000000\n"));
    EXPECT_EQ(recorder_.logFiles().size(), 1u);

    // The engine is not watched any more once it has ended.
    EXPECT_TRUE(published_.waitForName("trevik", false));
}

TEST_F(PipelineRun, ImagesBesideTheModelFolderWinOverThoseInside) {
    fs::create_directories(folder_ / "images");
    fs::copy(capture_ / "images", folder_ / "images");
    manager_->runPipeline(importRun());
    EXPECT_TRUE(recorder_.logged("Images resolved (workspace sibling): " + (folder_ / "images").string()));
    EXPECT_EQ(recorder_.states().back(), Kind::completed);
}

TEST_F(PipelineRun, TheInputFolderIsTheLastPlaceForImages) {
    fs::rename(capture_ / "images", folder_ / "photos-not-used");
    manager_->runPipeline(importRun());
    EXPECT_TRUE(recorder_.logged("Images resolved from input folder: " + (folder_ / "photos-not-used").string()));
    EXPECT_EQ(recorder_.states().back(), Kind::completed);
}

TEST_F(PipelineRun, AModelWithoutImagesAnywhereStops) {
    fs::remove_all(capture_ / "images");
    manager_->runPipeline(importRun());
    EXPECT_EQ(recorder_.states().back(), PipelineState::error("Skip COLMAP: images folder not found alongside COLMAP data."));
    const std::vector<std::string> texts = recorder_.texts();
    EXPECT_THAT(texts, Contains("Error: Cannot locate images folder."));
    EXPECT_THAT(texts, Contains("  Searched: " + (folder_ / "images").string()));
    EXPECT_THAT(texts, Contains("  Searched: " + (capture_ / "images").string()));
}

class ImportedModelMissing : public PipelineRun, public ::testing::WithParamInterface<std::pair<const char*, const char*>> {};

TEST_P(ImportedModelMissing, NamesWhatIsMissing) {
    const auto& [removed, message] = GetParam();
    fs::remove_all(capture_ / "sparse" / "0" / removed);
    manager_->runPipeline(importRun());
    EXPECT_THAT(kinds(recorder_.states()), ElementsAre(Kind::processingSfM, Kind::error));
    EXPECT_EQ(recorder_.states().back(), PipelineState::error(message));
    EXPECT_FALSE(fs::exists(workspace_ / "output.ply"));
}

INSTANTIATE_TEST_SUITE_P(Files, ImportedModelMissing,
                         ::testing::Values(std::pair{"points3D.bin", "Invalid COLMAP data: missing points3D.bin"},
                                           std::pair{"images.bin", "Invalid COLMAP data: missing images.bin"},
                                           std::pair{"", "Invalid COLMAP data: missing sparse/0/ directory"}));

// The engine reads each image by its name below the images folder: a name
// that leads elsewhere (here to a real photo outside it) is refused before
// the data is called valid or copied, naming the image.
class ImportedModelImageName : public PipelineRun, public ::testing::WithParamInterface<bool> {};

TEST_P(ImportedModelImageName, ThatLeavesTheImagesFolderIsRefused) {
    const bool absolute = GetParam();
    const fs::path outside = folder_ / "outside.jpg";
    fs::copy_file(capture_ / "images" / SyntheticDataset::imageName(0), outside);
    const std::string name = absolute ? outside.string() : "../../outside.jpg";
    auto model = colmap::COLMAPUtils::readModel(capture_ / "sparse" / "0");
    model.images.begin()->second.name = name;
    colmap::COLMAPUtils::writeModel(model, capture_ / "sparse" / "0");

    manager_->runPipeline(importRun());
    const std::string problem = "image \"" + name + "\" in images.bin " +
                                (absolute ? "has an absolute path" : "has a \"..\" component") +
                                "; an image must lie inside the images folder";
    EXPECT_THAT(kinds(recorder_.states()), ElementsAre(Kind::processingSfM, Kind::error));
    EXPECT_EQ(recorder_.states().back(), PipelineState::error("Invalid COLMAP data: " + problem));
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::sfm, "Error: " + problem));
    EXPECT_FALSE(recorder_.logged("✓ COLMAP data validated (cameras.bin, images.bin, points3D.bin)"));
    EXPECT_FALSE(fs::exists(workspace_ / "colmap" / "sparse"));
    EXPECT_TRUE(recorder_.cellEvents().empty());
}

INSTANTIATE_TEST_SUITE_P(Names, ImportedModelImageName, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Absolute" : "ParentComponent";
                         });

// Its names cannot be checked in an images.bin that cannot be read.
TEST_F(PipelineRun, AnImportedModelWhoseImagesCannotBeReadIsRefused) {
    writeTextFile(capture_ / "sparse" / "0" / "images.bin", "abc");
    manager_->runPipeline(importRun());
    ASSERT_TRUE(recorder_.states().back().isError());
    EXPECT_THAT(recorder_.states().back().message,
                ::testing::StartsWith("Invalid COLMAP data: images.bin could not be read: "));
    EXPECT_FALSE(recorder_.logged("✓ COLMAP data validated (cameras.bin, images.bin, points3D.bin)"));
}

// ---- Memory fit ----

TEST_F(PipelineRun, AMemoryLimitTooSmallStopsBeforeTraining) {
    PipelineManager::RunParameters parameters = importRun();
    parameters.ramLimitGB = 2;  // a budget of 1.0 GB: the limit less 2.5 GB, at least 1
    manager_->runPipeline(parameters);

    const std::string message = "This model size needs about 2.3 GB of memory, more than the 1.0 GB this computer can "
                                "give it. Turn on partitioning (Advanced) or choose a smaller model size.";
    EXPECT_THAT(kinds(recorder_.states()), ElementsAre(Kind::processingSfM, Kind::preparingData, Kind::error));
    EXPECT_EQ(recorder_.states().back(), PipelineState::error(message));
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::dataPrep, "⚠ " + message));
    EXPECT_TRUE(recorder_.cellEvents().empty());
    EXPECT_THAT(supportLog(), HasSubstr("[PREP] ⚠ " + message + "\n"));
}

TEST_F(PipelineRun, ManySfMPointsForTheCapAreNoted) {
    PipelineManager::RunParameters parameters = importRun();
    parameters.capMax = 260;  // 200 points are more than 75 % of it
    manager_->runPipeline(parameters);
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::dataPrep,
                                   "ℹ 200 SfM points exceed 75% of the 0K budget — trevik subsamples them at start to "
                                   "leave room to grow."));

    RunRecorder second;
    second.attach(*manager_);
    parameters.capMax = 267;  // 0.75 × 267 = 200.25: no note
    manager_->runPipeline(parameters);
    for (const std::string& text : second.texts()) EXPECT_FALSE(text.starts_with("ℹ ")) << text;
}

// ---- Quality of the single model ----

// The single model's held-out PSNR is shown as a cell's is, and a result
// that training left worse than its seeds, or with a very low PSNR, gets a
// "⚠" line that also reaches onWarning; the run still completes.
TEST_F(PipelineRun, ASingleModelWorseThanItsSeedsIsWarnedOf) {
    ScopedEnvironment knobs({{"TESSARON_TEST_ENGINE_PSNR", "7.9"}, {"TESSARON_TEST_ENGINE_SEED_PSNR", "9.8"}});
    PipelineManager::RunParameters parameters = importRun();
    parameters.trevikEval = true;
    manager_->runPipeline(parameters);

    EXPECT_EQ(recorder_.states().back(), Kind::completed);
    const std::vector<std::string> warnings = {
        "Model PSNR is very low (<15 dB). Quality may be poor.",
        "Model PSNR fell below its untrained seeds' — training made it worse. Quality may be poor."};
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::training, "Model eval PSNR: 7.90 dB"));
    for (const std::string& warning : warnings)
        EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::training, "⚠ " + warning)) << warning;
    EXPECT_EQ(recorder_.warnings(), warnings);
    // The engine's own line is in the run log too.
    EXPECT_THAT(supportLog(), HasSubstr(std::string("[TRAIN] ") + engines::TrevikRunner::qualityFellWarning +
                                        " (7.90 dB after training, 9.80 dB before)\n"));
}

TEST_F(PipelineRun, ASingleModelThatTrainingImprovedHasNoWarning) {
    ScopedEnvironment knobs({{"TESSARON_TEST_ENGINE_PSNR", "31"}, {"TESSARON_TEST_ENGINE_SEED_PSNR", "9.8"}});
    PipelineManager::RunParameters parameters = importRun();
    parameters.trevikEval = true;
    manager_->runPipeline(parameters);

    EXPECT_EQ(recorder_.states().back(), Kind::completed);
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::training, "Model eval PSNR: 31.00 dB"));
    EXPECT_TRUE(recorder_.warnings().empty());
    for (const std::string& text : recorder_.texts()) EXPECT_FALSE(text.starts_with("⚠ ")) << text;
}

// ---- Training and export failures ----

TEST_F(PipelineRun, ATrainingFailureEndsWithoutAnOutput) {
    ScopedEnvironment failing({{"TESSARON_TEST_ENGINE_FAIL_DATASET", "dataset"}});
    manager_->runPipeline(importRun());
    // The engine's own reason, logged above, ends the message too.
    EXPECT_EQ(recorder_.states().back(),
              PipelineState::error("trevik training failed (exit 1): forced failure for dataset dataset "
                                   "(TESSARON_TEST_ENGINE_FAIL_DATASET)"));
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::training, "Training error: trevik training failed (exit 1)"));
    EXPECT_THAT(recorder_.cellEvents(), ElementsAre("started 1/1 30", "finished"));
    EXPECT_FALSE(fs::exists(workspace_ / "output.ply"));
}

// A model image that names a camera cameras.bin lacks: the engine says so
// on its error line, and the final message carries that reason.
TEST_F(PipelineRun, AModelImageNamingAMissingCameraEndsWithTheEnginesReason) {
    colmap::COLMAPModel model = colmap::COLMAPUtils::readModel(capture_ / "sparse" / "0");
    auto& [imageId, image] = *model.images.begin();
    image.cameraId = 7;
    const std::string imageName = image.name;
    colmap::COLMAPUtils::writeModel(model, capture_ / "sparse" / "0");
    manager_->runPipeline(importRun());
    const std::string cause = "image " + imageName + " refers to camera 7, which cameras.bin does not hold";
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::training, "error: " + cause));
    EXPECT_EQ(recorder_.states().back(), PipelineState::error("trevik training failed (exit 1): " + cause));
}

TEST_F(PipelineRun, ATruncatedEngineOutputKeepsItsPartialName) {
    ScopedEnvironment truncating({{"TESSARON_TEST_ENGINE_TRUNCATE_DATASET", "dataset"}});
    manager_->runPipeline(importRun());
    ASSERT_TRUE(recorder_.states().back().isError());
    const std::string message = recorder_.states().back().message;
    EXPECT_THAT(message, ::testing::StartsWith("The trained model could not be saved: PLY is incomplete ("));
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::export_, "⚠ " + message));
    EXPECT_TRUE(fs::exists(workspace_ / "output.partial.ply"));
    EXPECT_FALSE(fs::exists(workspace_ / "output.ply"));
    EXPECT_TRUE(recorder_.outputs().empty());
}

TEST_F(PipelineRun, AWorkspaceThatCannotBeCreatedStopsBeforeTheLog) {
    writeTextFile(folder_ / "output", "a file where the output folder belongs");
    manager_->runPipeline(importRun());
    ASSERT_EQ(recorder_.states().size(), 1u);
    ASSERT_TRUE(recorder_.states()[0].isError());
    ASSERT_EQ(recorder_.log().size(), 1u);
    EXPECT_EQ(recorder_.log()[0].step, PipelineLogStep::extraction);
    EXPECT_EQ(recorder_.log()[0].text, "Error creating workspace: " + recorder_.states()[0].message);
    EXPECT_FALSE(fs::exists(folder_ / "support" / "Logs" / "current_run.md"));
}

TEST_F(PipelineRun, ARealImagesFolderInTheDatasetIsUsedAsItIs) {
    fs::create_directories(workspace_ / "dataset");
    fs::copy(capture_ / "images", workspace_ / "dataset" / "images");
    manager_->runPipeline(importRun());
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(workspace_ / "dataset" / "images")));
    EXPECT_EQ(recorder_.states().back(), Kind::completed);
}

TEST_F(PipelineRun, RunSettingsThatCannotBeSavedOnlyWarn) {
    writeTextFile(workspace_ / "run_config.json" / "in-the-way", "x");  // a folder where the file belongs
    manager_->runPipeline(importRun());
    bool warned = false;
    for (const auto& entry : recorder_.log())
        warned = warned || (entry.step == PipelineLogStep::dataPrep && entry.text.starts_with("⚠ Could not save the run settings (") &&
                            entry.text.ends_with(") — Resume will read them from the log."));
    EXPECT_TRUE(warned);
    EXPECT_EQ(recorder_.states().back(), Kind::completed);
}

// ---- Cancellation ----

struct CancelPoint {
    const char* name;
    std::optional<Kind> atState;  // none: the run task is cancelled before it starts
    bool atOutputReady;
    std::vector<Kind> states;
    PipelineLogStep step;
    bool outputWritten;
};

class PipelineCancelAt : public PipelineRun, public ::testing::WithParamInterface<CancelPoint> {};

TEST_P(PipelineCancelAt, StageBoundary) {
    const CancelPoint& point = GetParam();
    if (point.atState) onState(*point.atState, [this] { manager_->cancel(); });
    if (point.atOutputReady) {
        changeCallbacks(*manager_, [this](PipelineManager::Callbacks& callbacks) {
            callbacks.onOutputReady = [this, recorded = callbacks.onOutputReady](const std::string& path) {
                recorded(path);
                manager_->cancel();
            };
        });
    }
    std::stop_source task;
    if (!point.atState && !point.atOutputReady) task.request_stop();
    manager_->runPipeline(importRun(), task.get_token());

    EXPECT_EQ(kinds(recorder_.states()), point.states);
    EXPECT_EQ(recorder_.log().back(), (RunRecorder::LogEntry{point.step, "Pipeline cancelled."}));
    EXPECT_TRUE(supportLog().ends_with("] Pipeline cancelled.\n"));
    EXPECT_EQ(fs::exists(workspace_ / "output.ply"), point.outputWritten);
    EXPECT_EQ(recorder_.outputs().size(), point.atOutputReady ? 1u : 0u);
    // What the run left is readable: its log names the settings it used.
    if (point.states.size() > 1) {
        EXPECT_EQ(pipeline::WorkspaceScanner::parametersFromLog(workspace_).downscale, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, PipelineCancelAt,
    ::testing::Values(CancelPoint{"BeforeTheRun", std::nullopt, false, {Kind::processingSfM}, PipelineLogStep::dataPrep, false},
                      CancelPoint{"DuringDataPreparation", Kind::preparingData, false,
                                  {Kind::processingSfM, Kind::preparingData}, PipelineLogStep::training, false},
                      CancelPoint{"DuringExport", Kind::exporting, false,
                                  {Kind::processingSfM, Kind::preparingData, Kind::training, Kind::exporting},
                                  PipelineLogStep::export_, true},
                      CancelPoint{"AfterTheOutputWasPublished", std::nullopt, true,
                                  {Kind::processingSfM, Kind::preparingData, Kind::training, Kind::exporting},
                                  PipelineLogStep::export_, true}),
    [](const auto& info) { return info.param.name; });

TEST_F(PipelineRun, CancellingDuringTrainingStopsTheEngine) {
    ScopedEnvironment slow({{"TESSARON_TEST_ENGINE_STEP_SLEEP_MS", "1"}});
    PipelineManager::RunParameters parameters = importRun();
    parameters.iterations = 3000;  // statistics every 300 steps: the first after 0.3 s, the end after 3 s
    std::promise<void> training;
    std::once_flag once;
    changeCallbacks(*manager_, [&](PipelineManager::Callbacks& callbacks) {
        callbacks.onTrainingStats = [&](int64_t, int64_t, float) { std::call_once(once, [&] { training.set_value(); }); };
    });
    std::jthread run([&] { manager_->runPipeline(parameters); });
    training.get_future().wait();
    manager_->cancel();
    run.join();

    // The engine the cancel ended did not fail: no error state, no error line.
    EXPECT_THAT(kinds(recorder_.states()), ElementsAre(Kind::processingSfM, Kind::preparingData, Kind::training));
    EXPECT_FALSE(recorder_.logged("Training error: trevik stopped by signal 15"));
    EXPECT_EQ(recorder_.log().back(), (RunRecorder::LogEntry{PipelineLogStep::training, "Pipeline cancelled."}));
    EXPECT_THAT(recorder_.cellEvents(), ElementsAre("started 1/1 3000", "finished"));
    EXPECT_FALSE(fs::exists(workspace_ / "output.ply"));
}

TEST_F(PipelineRun, ACancelNeverLeaksIntoTheNextRun) {
    manager_->cancel();
    manager_->runPipeline(importRun());
    EXPECT_EQ(recorder_.states().back(), Kind::completed);
}

// The view model may drop the manager while a run is in flight: the run ends
// normally, the manager goes away with it, and no callback comes after.
TEST_F(PipelineRun, ReleasingTheManagerDuringARunCallsNothingAfterIt) {
    ScopedEnvironment slow({{"TESSARON_TEST_ENGINE_STEP_SLEEP_MS", "10"}});
    PipelineManager::RunParameters parameters = importRun();
    parameters.iterations = 60;
    std::promise<void> training;
    onState(Kind::training, [&] { training.set_value(); });
    std::weak_ptr<PipelineManager> weak = manager_;
    std::jthread run([manager = manager_, parameters]() mutable {
        manager->runPipeline(parameters);
        manager.reset();
    });
    training.get_future().wait();
    manager_.reset();
    run.join();

    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(recorder_.callsAfterRelease(), 0);
    EXPECT_EQ(recorder_.states().back(), Kind::completed);
}

// ---- Photo and video routes with a recording COLMAP ----

class RecordedCOLMAPRun : public PipelineRun {
protected:
    PipelineManager::Configuration configuration() override {
        return testConfiguration(folder_ / "support", recordingCOLMAP(folder_.path(), capture_ / "sparse" / "0", commandLines_));
    }

    std::vector<std::string> commandLines() const {
        std::vector<std::string> lines;
        std::istringstream text(readTextFile(commandLines_));
        for (std::string line; std::getline(text, line);) lines.push_back(line);
        return lines;
    }

    std::string commandLine(const std::string& subcommand) const {
        for (const std::string& line : commandLines())
            if (line.starts_with(subcommand + " ")) return line;
        return "";
    }

    fs::path commandLines_ = folder_ / "colmap-command-lines.txt";
};

TEST_F(RecordedCOLMAPRun, PhotosRunInPlaceThroughCOLMAP) {
    writeTextFile(workspace_ / "colmap" / "snapshots" / "stale", "from an earlier run");
    manager_->runPipeline(photoRun());

    EXPECT_THAT(kinds(recorder_.states()),
                ElementsAre(Kind::processingSfM, Kind::preparingData, Kind::training, Kind::exporting, Kind::completed));
    // COLMAP reads links to the checked photos; training reads the photos.
    EXPECT_THAT(commandLine("feature_extractor"), HasSubstr("--image_path " + (workspace_ / "colmap" / "images").string()));
    EXPECT_THAT(commandLine("mapper"), HasSubstr("--image_path " + (workspace_ / "colmap" / "images").string()));
    EXPECT_EQ(fs::read_symlink(workspace_ / "colmap" / "images" / "frame_000003.jpg"), capture_ / "images" / "frame_000003.jpg");
    EXPECT_THAT(commandLine("feature_extractor"), HasSubstr("--ImageReader.single_camera 1"));
    EXPECT_NE(commandLine("exhaustive_matcher"), "");
    EXPECT_THAT(commandLine("mapper"), HasSubstr("--Mapper.snapshot_path " + (workspace_ / "colmap" / "snapshots").string()));
    EXPECT_THAT(commandLine("mapper"), ::testing::EndsWith("_freq 10"));
    EXPECT_FALSE(fs::exists(workspace_ / "colmap" / "snapshots" / "stale"));
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::sfm, "✓ COLMAP pipeline completed successfully."));
    EXPECT_EQ(fs::read_symlink(workspace_ / "dataset" / "images"), capture_ / "images");
    EXPECT_EQ(engines::PLYCheck::validate(workspace_ / "output.ply").vertexCount, int64_t(kPoints));
}

TEST_F(RecordedCOLMAPRun, ACancelledRunTaskEndsBeforeCOLMAP) {
    std::stop_source task;
    task.request_stop();
    manager_->runPipeline(photoRun(), task.get_token());
    EXPECT_TRUE(recorder_.states().empty());
    EXPECT_EQ(recorder_.log().back(), (RunRecorder::LogEntry{PipelineLogStep::sfm, "Pipeline cancelled."}));
    EXPECT_FALSE(fs::exists(commandLines_));
    // The photo check took the cancel: it ended before any photo was
    // decoded and linked for COLMAP.
    EXPECT_FALSE(fs::exists(workspace_ / "colmap"));
}

TEST_F(RecordedCOLMAPRun, A360PhotoFolderGetsTheRigAndFullResolution) {
    PipelineManager::RunParameters parameters = photoRun();
    parameters.is360 = true;
    parameters.useGlobalMapper = true;
    parameters.trevikDownscaleFactor = 4;
    parameters.cropLayout = input::CropLayout(input::CropLayoutPreset::horizontal8, 64, 90);
    parameters.personMaskMode = input::PersonMaskMode::allPeople;
    manager_->runPipeline(parameters);

    EXPECT_EQ(recorder_.states().back(), Kind::completed);
    EXPECT_THAT(commandLine("feature_extractor"), HasSubstr("--ImageReader.single_camera_per_folder 1"));
    EXPECT_THAT(commandLine("feature_extractor"), HasSubstr("--ImageReader.camera_model PINHOLE"));
    EXPECT_THAT(commandLine("feature_extractor"), Not(HasSubstr("mask_path")));  // no extraction made masks
    EXPECT_NE(commandLine("matches_importer"), "");
    EXPECT_NE(commandLine("mapper"), "");  // the rig never takes the global mapper
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::dataPrep, "360 mode: training at full crop resolution (downscale 1×)"));
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::dataPrep, "Image downscale factor: 1x"));
    EXPECT_EQ(pipeline::RunConfig::load(workspace_).downscale, 1);
}

// COLMAP ended by the cancel makes its runner throw; that is the cancel, not
// a COLMAP error.
TEST_F(RecordedCOLMAPRun, ACancelDuringCOLMAPEndsAsACancel) {
    manager_ = PipelineManager::create(monitor_, testConfiguration(folder_ / "support", tessaron::testing::sleepingCOLMAP(folder_.path())));
    recorder_.attach(*manager_);
    std::promise<void> extracting;
    std::once_flag once;
    changeCallbacks(*manager_, [&](PipelineManager::Callbacks& callbacks) {
        callbacks.onLog = [&, recorded = callbacks.onLog](PipelineLogStep step, const std::string& text) {
            recorded(step, text);
            if (text == "step feature_extractor") std::call_once(once, [&] { extracting.set_value(); });
        };
    });
    std::jthread run([&] { manager_->runPipeline(photoRun()); });
    extracting.get_future().wait();
    EXPECT_TRUE(published_.waitForName("colmap", true));
    manager_->cancel();
    run.join();

    EXPECT_THAT(kinds(recorder_.states()), ElementsAre(Kind::processingSfM));
    EXPECT_FALSE(recorder_.logged("COLMAP error: Feature extraction failed (exit -15)"));
    EXPECT_EQ(recorder_.log().back(), (RunRecorder::LogEntry{PipelineLogStep::sfm, "Pipeline cancelled."}));
    EXPECT_TRUE(supportLog().ends_with("] Pipeline cancelled.\n"));
    EXPECT_TRUE(published_.waitForName("colmap", false));
}

class AutomaticDownscale : public RecordedCOLMAPRun, public ::testing::WithParamInterface<std::tuple<int, int, int>> {};

TEST_P(AutomaticDownscale, FollowsTheFirstImagesPixelCount) {
    const auto [width, height, expected] = GetParam();
    // The profile measures the first image the listing gives: keep two of
    // one size (structure from motion needs two).
    fs::remove_all(capture_ / "images");
    fs::create_directories(capture_ / "images");
    for (const char* name : {"frame_000000.jpg", "frame_000001.jpg"})
        cv::imwrite((capture_ / "images" / name).string(), cv::Mat(height, width, CV_8UC3, cv::Scalar(90, 120, 150)));
    PipelineManager::RunParameters parameters = photoRun();
    parameters.trevikDownscaleFactor = 0;
    // Training is not needed: stop at the boundary after the settings.
    changeCallbacks(*manager_, [this](PipelineManager::Callbacks& callbacks) {
        callbacks.onLog = [this, recorded = callbacks.onLog](PipelineLogStep step, const std::string& text) {
            recorded(step, text);
            if (text.starts_with("Image downscale factor: ")) manager_->cancel();
        };
    });
    manager_->runPipeline(parameters);
    EXPECT_TRUE(recorder_.logged("Image downscale factor: " + std::to_string(expected) + "x"));
    EXPECT_EQ(pipeline::RunConfig::load(workspace_).downscale, expected);
}

// cancel() reaches frame extraction too, between two frames: the run ends
// under the extraction step, long before its last frame, and reports no
// further state. The wait is only a guard against a hang.
TEST_F(PipelineRun, CancelDuringFrameExtractionEndsTheRunBeforeItsLastFrame) {
    tessaron::testing::TestVideo video;
    video.frameCount = 400;
    video.frame = [](int index) { return tessaron::testing::checkerFrame(64, 48, 4 + index % 8); };
    video.write(folder_ / "walk.avi");
    PipelineManager::RunParameters parameters = photoRun();
    parameters.inputURL = folder_ / "walk.avi";
    parameters.isVideo = true;
    parameters.frameExtractionRate = 1;
    parameters.sharpnessEnabled = false;
    std::promise<void> extracting;
    std::once_flag once;
    changeCallbacks(*manager_, [&](PipelineManager::Callbacks& callbacks) {
        callbacks.onExtractionProgress = [&](int64_t, int64_t) { std::call_once(once, [&] { extracting.set_value(); }); };
    });
    std::promise<void> ended;
    std::jthread run([&] {
        manager_->runPipeline(parameters);
        ended.set_value();
    });
    extracting.get_future().wait();
    manager_->cancel();
    EXPECT_EQ(ended.get_future().wait_for(std::chrono::seconds(120)), std::future_status::ready);
    run.join();

    EXPECT_EQ(kinds(recorder_.states()), std::vector<Kind>{Kind::extractingFrames});
    EXPECT_EQ(recorder_.log().back(), (RunRecorder::LogEntry{PipelineLogStep::extraction, "Pipeline cancelled."}));
    size_t written = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(workspace_ / "images")) ++written;
    EXPECT_LT(written, 400u);
}

INSTANTIATE_TEST_SUITE_P(FirstImage, AutomaticDownscale,
                         ::testing::Values(std::tuple{2000, 2000, 2}, std::tuple{2000, 2001, 4}));

TEST_F(RecordedCOLMAPRun, APhotoFolderWithoutImagesIsRefusedBeforeCOLMAP) {
    fs::remove_all(capture_ / "images");
    fs::create_directories(capture_ / "images");
    writeTextFile(capture_ / "images" / "notes.txt", "no photos");
    manager_->runPipeline(photoRun());
    const std::string message = "No readable image in " + (capture_ / "images").string() +
                                ": it holds 1 file and 0 folders, none of them a JPEG, PNG, TIFF or BMP image";
    EXPECT_THAT(recorder_.states(), ElementsAre(PipelineState::error(message)));
    EXPECT_FALSE(fs::exists(commandLines_));  // COLMAP never ran
    EXPECT_FALSE(fs::exists(workspace_ / "colmap"));
}

// Structure from motion needs two photos: a folder with fewer that read is
// refused before COLMAP, with what was left out and why.
TEST_F(RecordedCOLMAPRun, AFolderWithFewerThanTwoReadablePhotosIsRefusedBeforeCOLMAP) {
    const fs::path images = capture_ / "images";
    fs::remove_all(images);
    fs::create_directories(images);
    cv::imwrite((images / "only.jpg").string(), cv::Mat(48, 64, CV_8UC3, cv::Scalar(90, 120, 150)));
    manager_->runPipeline(photoRun());
    EXPECT_THAT(recorder_.states(),
                ElementsAre(PipelineState::error("Too few photos in " + images.string() +
                                                 " for structure from motion, which needs at least 2: it holds 1 photo.")));

    writeTextFile(images / "broken.jpg", "not a JPEG");
    writeTextFile(images / "empty.png", "");
    RunRecorder recorder;
    recorder.attach(*manager_);
    manager_->runPipeline(photoRun());
    EXPECT_THAT(recorder.states(),
                ElementsAre(PipelineState::error(
                    "Too few photos in " + images.string() + " for structure from motion, which needs at least 2: 1 of its "
                    "3 photos can be read (left out: broken.jpg (not a readable image), empty.png (empty file)).")));
    EXPECT_FALSE(fs::exists(commandLines_));  // COLMAP never ran
    EXPECT_FALSE(fs::exists(workspace_ / "colmap"));
}

// COLMAP skips photos it cannot read with a line of its own each: the run
// names them first, with the reason, and goes on with the rest.
TEST_F(RecordedCOLMAPRun, UnreadablePhotosAreNamedBeforeCOLMAPStarts) {
    const fs::path images = capture_ / "images";
    writeTextFile(images / "broken.jpg", "not a JPEG");
    writeTextFile(images / "empty.png", "");
    tessaron::testing::makeFifo(images / "pipe.jpg");
    fs::create_symlink("/dev/zero", images / "zero.jpg");
    manager_->runPipeline(photoRun());

    EXPECT_EQ(recorder_.states().back(), Kind::completed);
    const std::string warning = "⚠ 4 of 14 photos cannot be read and are left out: broken.jpg (not a readable image), "
                                "empty.png (empty file), pipe.jpg (is a FIFO, not a regular file), zero.jpg (is a "
                                "character device, not a regular file)";
    const std::vector<RunRecorder::LogEntry> log = recorder_.log();
    const auto named = std::find(log.begin(), log.end(), RunRecorder::LogEntry{PipelineLogStep::sfm, warning});
    ASSERT_NE(named, log.end());
    // Before COLMAP's first line, and in the run log.
    EXPECT_TRUE(std::none_of(log.begin(), named, [](const auto& entry) { return entry.step == PipelineLogStep::sfm; }));
    EXPECT_THAT(workspaceLog(), HasSubstr("[SFM] " + warning + "\n"));
}

// What the check refuses never reaches COLMAP: a link loop (COLMAP aborted
// listing it), a 16-bit colour PNG (COLMAP reads none) and a JPEG cut in
// half (decoded with a grey lower half) stay out of the folder COLMAP reads.
TEST_F(RecordedCOLMAPRun, WhatTheCheckRefusesNeverReachesCOLMAP) {
    const fs::path images = capture_ / "images";
    fs::create_symlink("loop_b.jpg", images / "loop_a.jpg");
    fs::create_symlink("loop_a.jpg", images / "loop_b.jpg");
    cv::Mat deep(48, 64, CV_16UC3, cv::Scalar(1000, 20000, 40000));
    ASSERT_TRUE(cv::imwrite((images / "deep.png").string(), deep));
    std::vector<uchar> jpeg;
    cv::Mat noise(240, 320, CV_8UC3);
    cv::randu(noise, 0, 255);
    cv::imencode(".jpg", noise, jpeg);
    jpeg.resize(jpeg.size() / 2);
    writeTextFile(images / "cut.jpg", std::string(jpeg.begin(), jpeg.end()));
    manager_->runPipeline(photoRun());

    EXPECT_EQ(recorder_.states().back(), Kind::completed);
    EXPECT_TRUE(recorder_.loggedAs(
        PipelineLogStep::sfm,
        "⚠ 4 of 14 photos cannot be read and are left out: cut.jpg (truncated), deep.png (16-bit colour, which COLMAP "
        "cannot read), loop_a.jpg (Too many levels of symbolic links), loop_b.jpg (Too many levels of symbolic links)"));
    const fs::path linked = workspace_ / "colmap" / "images";
    EXPECT_THAT(commandLine("feature_extractor"), HasSubstr("--image_path " + linked.string() + " "));
    std::set<std::string> seen;
    for (const auto& entry : fs::directory_iterator(linked)) {
        EXPECT_TRUE(entry.is_symlink());
        seen.insert(entry.path().filename().string());
    }
    std::set<std::string> expected;
    for (size_t index = 0; index < kImages; ++index) expected.insert(SyntheticDataset::imageName(index));
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(fs::read_symlink(workspace_ / "dataset" / "images"), images);
}

// COLMAP's one shared camera takes photos of the first one's size only and
// skipped the rest with a line of its own each: photos of two sizes get a
// camera each, with one line saying why.
TEST_F(RecordedCOLMAPRun, PhotosOfTwoSizesGetACameraEach) {
    const fs::path images = capture_ / "images";
    fs::remove_all(images);
    fs::create_directories(images);
    for (int index = 0; index < 3; ++index) {
        cv::imwrite((images / ("small_" + std::to_string(index) + ".jpg")).string(), cv::Mat(48, 64, CV_8UC3, cv::Scalar(index * 40)));
        cv::imwrite((images / ("large_" + std::to_string(index) + ".jpg")).string(), cv::Mat(72, 96, CV_8UC3, cv::Scalar(index * 40)));
    }
    PipelineManager::RunParameters parameters = photoRun();
    parameters.iterations = 1;
    // COLMAP's stand-in leaves the capture's model: stop once COLMAP is done.
    onState(Kind::preparingData, [this] { manager_->cancel(); });
    manager_->runPipeline(parameters);

    EXPECT_THAT(commandLine("feature_extractor"), HasSubstr("--ImageReader.single_camera 0"));
    const std::string line = "⚠ The photos come in 2 sizes (3 of 64 × 48, 3 of 96 × 72) and one shared camera takes "
                             "one size only: each photo gets a camera of its own (Single Camera Mode is set aside for "
                             "this run).";
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::sfm, line));
    EXPECT_THAT(workspaceLog(), HasSubstr("[SFM] " + line + "\n"));

    // Cameras per photo already: nothing to set aside, nothing to say.
    RunRecorder perPhoto;
    perPhoto.attach(*manager_);
    onState(Kind::preparingData, [this] { manager_->cancel(); });
    parameters.colmapSingleCamera = false;
    parameters.workspaceURL = folder_ / "output" / "second";
    manager_->runPipeline(parameters);
    EXPECT_FALSE(perPhoto.logged(line));
    const std::vector<std::string> commands = commandLines();
    EXPECT_TRUE(std::all_of(commands.begin(), commands.end(), [](const std::string& command) {
        return !command.starts_with("feature_extractor") || command.find("--ImageReader.single_camera 0") != std::string::npos;
    }));
}

// The rig's cameras are crops of one size: a rig photo folder of two sizes
// is refused before COLMAP, naming the sizes and what to change.
TEST_F(RecordedCOLMAPRun, A360PhotoFolderOfTwoSizesIsRefusedBeforeCOLMAP) {
    const fs::path images = capture_ / "images";
    fs::remove_all(images);
    for (const char* camera : {"cam0", "cam1"}) {
        fs::create_directories(images / camera);
        cv::imwrite((images / camera / "frame_000000.jpg").string(), cv::Mat(64, 64, CV_8UC3, cv::Scalar(90)));
    }
    cv::imwrite((images / "cam1" / "frame_000001.jpg").string(), cv::Mat(32, 32, CV_8UC3, cv::Scalar(90)));
    PipelineManager::RunParameters parameters = photoRun();
    parameters.is360 = true;
    parameters.cropLayout = input::CropLayout(input::CropLayoutPreset::horizontal8, 64, 90);
    manager_->runPipeline(parameters);
    const std::string message = "The photos in " + images.string() +
                                " come in 2 sizes (1 of 32 × 32, 2 of 64 × 64), and the 360° rig takes photos of one "
                                "size only. Use photos of one size, or turn off 360° mode.";
    EXPECT_THAT(recorder_.states(), ElementsAre(PipelineState::error(message)));
    EXPECT_FALSE(fs::exists(commandLines_));
}

// A video whose every frame the blur filter refuses stops after its
// extraction, with the threshold and how to lower it or turn the filter off;
// COLMAP aborted on the empty folder.
TEST_F(RecordedCOLMAPRun, AVideoTheBlurFilterRefusesWhollyStopsAfterExtraction) {
    tessaron::testing::TestVideo video;
    video.frameCount = 6;
    video.frame = [](int) { return tessaron::testing::uniformFrame(64, 48, 128); };
    video.write(folder_ / "flat.avi");
    PipelineManager::RunParameters parameters = photoRun();
    parameters.inputURL = folder_ / "flat.avi";
    parameters.isVideo = true;
    parameters.frameExtractionRate = 2;
    parameters.sharpnessEnabled = true;
    parameters.sharpnessThreshold = 50;
    manager_->runPipeline(parameters);

    const std::string message = "The blur filter (threshold: 50.0) refused 3 of the video's 3 selected frames and left "
                                "0 frames; structure from motion needs at least 2. Lower the Sharpness Filter's "
                                "Threshold under Frame Extraction, or turn the filter off.";
    EXPECT_THAT(recorder_.states(), ElementsAre(Kind::extractingFrames, PipelineState::error(message)));
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::extraction, "✓ Extracted 0 frames."));
    EXPECT_EQ(recorder_.log().back(), (RunRecorder::LogEntry{PipelineLogStep::extraction, "⚠ " + message}));
    EXPECT_FALSE(fs::exists(commandLines_));  // COLMAP never ran
}

TEST_F(RecordedCOLMAPRun, AVideoOfOneFrameStopsAfterExtraction) {
    tessaron::testing::TestVideo video;
    video.frameCount = 1;
    video.frame = [](int) { return tessaron::testing::checkerFrame(64, 48, 4); };
    video.write(folder_ / "short.avi");
    PipelineManager::RunParameters parameters = photoRun();
    parameters.inputURL = folder_ / "short.avi";
    parameters.isVideo = true;
    parameters.frameExtractionRate = 10;
    parameters.sharpnessEnabled = false;
    manager_->runPipeline(parameters);

    const std::string message = "The video gave 1 frame at 1 in every 10 frames; structure from motion needs at least "
                                "2. Extract frames more often (Extract 1 frame every) or use a longer video.";
    EXPECT_THAT(recorder_.states(), ElementsAre(Kind::extractingFrames, PipelineState::error(message)));
    EXPECT_FALSE(fs::exists(commandLines_));
}

TEST_F(RecordedCOLMAPRun, AVideoIsCutIntoFramesThenMatchedInSequence) {
    tessaron::testing::TestVideo video;
    video.frameCount = int(kImages);
    video.frame = [](int index) { return tessaron::testing::checkerFrame(64, 48, 4 + index); };
    video.write(folder_ / "walk.avi");
    fs::remove_all(capture_ / "images");  // the frames come from the video
    PipelineManager::RunParameters parameters = photoRun();
    parameters.inputURL = folder_ / "walk.avi";
    parameters.isVideo = true;
    parameters.frameExtractionRate = 1;
    parameters.sharpnessEnabled = false;
    int progressCalls = 0;
    changeCallbacks(*manager_, [&](PipelineManager::Callbacks& callbacks) {
        callbacks.onExtractionProgress = [&](int64_t, int64_t) { ++progressCalls; };
    });
    manager_->runPipeline(parameters);

    EXPECT_THAT(kinds(recorder_.states()), ElementsAre(Kind::extractingFrames, Kind::processingSfM, Kind::preparingData,
                                                       Kind::training, Kind::exporting, Kind::completed));
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::extraction, "═══ Extracting frames from video (no blur filter) ═══"));
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::extraction, "Extracting 1 in every 1 frame..."));
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::extraction, "✓ Extracted 10 frames."));
    EXPECT_GT(progressCalls, 0);
    EXPECT_NE(commandLine("sequential_matcher"), "");
    EXPECT_THAT(commandLine("feature_extractor"), HasSubstr("--image_path " + (workspace_ / "images").string()));
    EXPECT_EQ(fs::read_symlink(workspace_ / "dataset" / "images"), workspace_ / "images");
}

TEST_F(RecordedCOLMAPRun, AVideoThatCannotBeReadStops) {
    writeTextFile(folder_ / "broken.mp4", "not a video");
    PipelineManager::RunParameters parameters = photoRun();
    parameters.inputURL = folder_ / "broken.mp4";
    parameters.isVideo = true;
    manager_->runPipeline(parameters);
    EXPECT_THAT(kinds(recorder_.states()), ElementsAre(Kind::extractingFrames, Kind::error));
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::extraction,
                                   "═══ Extracting frames from video (blur filter ON, threshold: 50.0) ═══"));
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::extraction, "Error: " + recorder_.states().back().message));
    EXPECT_FALSE(fs::exists(commandLines_));
}

// A 360° video: each kept frame is cut into the rig's crops, people are
// masked per crop, and COLMAP gets the rig and the masks.
TEST_F(PipelineRun, A360VideoIsCutIntoMaskedRigCrops) {
    // The model COLMAP "finds": the first rig frame, one image per crop.
    const fs::path rigModel = folder_ / "rig-model";
    colmap::CameraMap cameras;
    cameras[1] = colmap::CameraModel{1, 1, 32, 32, {16, 16, 16, 16}};
    colmap::ImageMap images;
    for (int32_t crop = 0; crop < 8; ++crop) {
        colmap::ImageModel image;
        image.imageId = crop + 1;
        image.cameraId = 1;
        image.name = "cam" + std::to_string(crop) + "/frame_000000.jpg";
        images[image.imageId] = image;
    }
    fs::create_directories(rigModel);
    colmap::COLMAPUtils::writeModel(cameras, images, SyntheticDataset::latticePoints(kPoints), rigModel);
    const fs::path commandLines = folder_ / "colmap-command-lines.txt";
    manager_ = PipelineManager::create(
        monitor_, testConfiguration(folder_ / "support", recordingCOLMAP(folder_.path(), rigModel, commandLines)));
    recorder_.attach(*manager_);
    int previews = 0;
    changeCallbacks(*manager_, [&](PipelineManager::Callbacks& callbacks) {
        callbacks.onConversionPreview = [&](const input::VideoFrameExtractor::Conversion360Preview&) { ++previews; };
    });

    tessaron::testing::TestVideo video;
    video.width = 128;
    video.height = 64;
    video.frameCount = 3;
    video.frame = [](int index) { return tessaron::testing::checkerFrame(128, 64, 4 + index); };
    video.write(folder_ / "sphere.avi");
    PipelineManager::RunParameters parameters = importRun();
    parameters.skipSfM = false;
    parameters.colmapDataURL.reset();
    parameters.inputURL = folder_ / "sphere.avi";
    parameters.isVideo = true;
    parameters.is360 = true;
    parameters.cropLayout = input::CropLayout(input::CropLayoutPreset::horizontal8, 32, 90);
    parameters.personMaskMode = input::PersonMaskMode::allPeople;
    parameters.frameExtractionRate = 1;
    parameters.sharpnessEnabled = false;
    manager_->runPipeline(parameters);

    EXPECT_THAT(kinds(recorder_.states()), ElementsAre(Kind::extractingFrames, Kind::processingSfM, Kind::preparingData,
                                                       Kind::training, Kind::exporting, Kind::completed));
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::extraction,
                                   "═══ Extracting 360° video as 8 perspective crops (no blur filter) ═══"));
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::extraction,
                                   "Layout: Horizontal (8 crops), FOV 90°, 32px, 1 in every 1 frame"));
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::extraction,
                                   "Person masking: Mask all people (person segmentation per crop)"));
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::extraction, "✓ Extracted 3 rig frames → 24 crop images."));
    EXPECT_GE(previews, 1);
    EXPECT_TRUE(fs::exists(workspace_ / "images" / "cam7" / "frame_000002.jpg"));

    const fs::path masks = workspace_ / "masks";
    EXPECT_THAT(readTextFile(commandLines), HasSubstr("--ImageReader.mask_path " + masks.string()));
    EXPECT_EQ(fs::read_symlink(workspace_ / "dataset" / "masks"), masks);
    EXPECT_TRUE(recorder_.loggedAs(PipelineLogStep::training, "Person masks found — training with --mask-dir " + masks.string()));
    EXPECT_THAT(supportLog(), HasSubstr("--mask-dir " + masks.string()));
    EXPECT_EQ(pipeline::RunConfig::load(workspace_).downscale, 1);
}
