// Resuming an interrupted workspace and merging a finished one again from
// the view model: the panels, the derived parameters and their report.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QLocale>
#include <QTest>

#include "pipeline/RunConfig.hpp"
#include "generators/SyntheticCells.hpp"
#include "support/SyntheticDataset.hpp"
#include "viewmodel/ScriptedDialogs.hpp"
#include "viewmodel/ViewModelTestSupport.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::testing {
namespace {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;
using generators::writeFloatPly;
namespace fs = std::filesystem;
using pipeline::PipelineState;
using viewmodel::PipelineViewModel;
using viewmodel::SettingRows;
using Kind = PipelineState::Kind;

void writePicture(const fs::path& file, int width, int height) {
    fs::create_directories(file.parent_path());
    QImage picture(width, height, QImage::Format_RGB32);
    picture.fill(QColor(90, 120, 150));
    ASSERT_TRUE(picture.save(QString::fromStdString(file.string()), "JPG"));
}

struct DownscaleCase {
    const char* name;
    int64_t setting;
    int width;  // 0: no images folder
    int height;
    int expected;
};

void PrintTo(const DownscaleCase& downscale, std::ostream* out) { *out << downscale.name; }

class RemergeDownscale : public ::testing::TestWithParam<DownscaleCase> {};

TEST_P(RemergeDownscale, FollowsTheSettingElseTheImagesSize) {
    TempDir workspace("viewmodel-remerge-downscale");
    if (GetParam().width > 0) writePicture(workspace.path() / "images" / "frame_000000.jpg", GetParam().width, GetParam().height);
    EXPECT_EQ(PipelineViewModel::remergeDownscale(GetParam().setting, workspace.path()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Workspaces, RemergeDownscale,
                         ::testing::Values(DownscaleCase{"NoImages", 0, 0, 0, 4},
                                           DownscaleCase{"FourMegapixels", 0, 2000, 2000, 2},
                                           DownscaleCase{"JustAboveFourMegapixels", 0, 2001, 2000, 4},
                                           DownscaleCase{"SetToThree", 3, 2001, 2000, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

class ResumeRemerge : public ViewModelTest {
protected:
    void SetUp() override {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        model_ = makeViewModel();
        model_->setDialogService(dialogs_);
        model_->setRamLimitGB(12);
    }
    void TearDown() override {
        model_.reset();
        QLocale::setDefault(QLocale::c());
    }

    // A partitioned workspace with one cell left to train and `config` as
    // its recorded settings.
    void writeInterruptedWorkspace(const std::string& config) {
        SyntheticDataset::write(workspace_ / "colmap", 4, SyntheticDataset::latticePoints(50));
        SyntheticDataset::write(workspace_ / "partitions" / "cell_0", 4, SyntheticDataset::latticePoints(50));
        writeTextFile(workspace_ / pipeline::RunConfig::fileName, config);
    }

    void endOperation() {
        model_->cancelRun();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->hasActiveOperation(); }, 30000));
    }

    TempDir folder_{"viewmodel-resume"};
    fs::path workspace_ = folder_.path() / "Tessaron_workspace";
    std::shared_ptr<ScriptedDialogs> dialogs_ = std::make_shared<ScriptedDialogs>();
    std::unique_ptr<PipelineViewModel> model_;
};

// The scan refuses the run_config.json (its cap is past the engine's limit);
// the log's values, past it too, give way to the defaults with a warning.
TEST_F(ResumeRemerge, RecordedSettingsOutOfRangeFallBackToTheDefaultsWithAWarning) {
    writeInterruptedWorkspace(R"({"downscale": 99, "eval": false, "capMax": 10000001, "iterations": 30})");
    writeTextFile(workspace_ / "Tessaron_logs" / "2026-01-02_090000_BBBBBB_training.md",
                  "[PREP] Image downscale factor: 0x\n[TRAIN] Cap Max: 10000001\n");
    dialogs_->answer(workspace_);
    model_->selectResumeWorkspace();
    EXPECT_EQ(dialogs_->opened[0].title, "Select Tessaron_workspace folder");
    ASSERT_TRUE(model_->workspaceScanResult());
    EXPECT_EQ(model_->workspaceScanResult()->unusableFiles,
              std::vector<std::string>{"run_config.json: \"capMax\" is 10000001, outside 1\u202610000000"});
    model_->setTrevikDownscaleFactor(2);  // a resume follows the workspace, not the settings
    model_->resumeTraining();
    ASSERT_TRUE(model_->hasActiveOperation());
    ASSERT_TRUE(model_->runReport());
    EXPECT_EQ(model_->runReport()->kind, "Resume");
    EXPECT_EQ(model_->runReport()->input, "Existing workspace");
    EXPECT_EQ(model_->runReport()->settings, (SettingRows{{"Model size", "1,000,000"},
                                                          {"Downscale", "4\u00d7"},
                                                          {"Eval", "on"},
                                                          {"Memory limit", "12 GB"}}));
    EXPECT_TRUE(model_->trainingLog().contains(
        QStringLiteral("\u26a0 The workspace records a downscale of 0, outside 1\u20262147483647; resuming with 4.")));
    EXPECT_TRUE(model_->trainingLog().contains(
        QStringLiteral("\u26a0 The workspace records a model size of 10000001, outside 1\u202610000000; resuming "
                       "with 1000000.")));
    EXPECT_EQ(model_->currentWorkspaceURL(), workspace_);
    endOperation();
}

struct DamagedConfig {
    const char* name;
    const char* text;
};

void PrintTo(const DamagedConfig& config, std::ostream* out) { *out << config.name; }

class DamagedRunConfig : public ResumeRemerge, public ::testing::WithParamInterface<DamagedConfig> {};

TEST_P(DamagedRunConfig, FallsBackToTheDefaults) {
    writeInterruptedWorkspace(GetParam().text);
    dialogs_->answer(workspace_);
    model_->selectResumeWorkspace();
    ASSERT_TRUE(model_->workspaceScanResult());
    model_->resumeTraining();
    ASSERT_TRUE(model_->hasActiveOperation());
    ASSERT_TRUE(model_->runReport());
    EXPECT_EQ(model_->runReport()->settings, (SettingRows{{"Model size", "1,000,000"},
                                                          {"Downscale", "4\u00d7"},
                                                          {"Eval", "on"},
                                                          {"Memory limit", "12 GB"}}));
    endOperation();
}

INSTANTIATE_TEST_SUITE_P(
    Contents, DamagedRunConfig,
    ::testing::Values(DamagedConfig{"Empty", ""}, DamagedConfig{"Truncated", "{\"downscale\": 2, \"eval\": fal"},
                      DamagedConfig{"NotAnObject", "[2, false, 500000, 30]"},
                      DamagedConfig{"DownscaleAsText",
                                    R"({"downscale": "2", "eval": false, "capMax": 500000, "iterations": 30})"},
                      DamagedConfig{"EvalAsNumber", R"({"downscale": 2, "eval": 0, "capMax": 500000, "iterations": 30})"},
                      DamagedConfig{"FractionalDownscale",
                                    R"({"downscale": 2.5, "eval": false, "capMax": 500000, "iterations": 30})"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ResumeRemerge, AWorkspaceThatDoesNotScanSaysWhy) {
    fs::create_directories(workspace_);
    dialogs_->answer(workspace_);
    model_->selectResumeWorkspace();
    EXPECT_FALSE(model_->workspaceScanResult());
    EXPECT_TRUE(model_->currentState().isError());
    EXPECT_TRUE(model_->currentState().message.starts_with("Workspace scan failed: "));
}

TEST_F(ResumeRemerge, MovedPhotosAreAskedForAndACancelledPanelEndsInTheError) {
    writeInterruptedWorkspace(R"({"downscale": 2, "eval": true, "capMax": 500000, "iterations": 30})");
    // The photos the run used are gone; the link to them stays.
    fs::remove_all(workspace_ / "colmap" / "images");
    fs::create_symlink(folder_.path() / "gone", workspace_ / "colmap" / "images");
    dialogs_->answer(workspace_);
    model_->selectResumeWorkspace();
    dialogs_->answer(std::nullopt);
    model_->resumeTraining();
    ASSERT_EQ(dialogs_->opened.size(), 2u);
    EXPECT_EQ(dialogs_->opened[1].title, "Locate the photos for this run");
    EXPECT_EQ(dialogs_->opened[1].message.toStdString(),
              "Tessaron needs access to " + (folder_.path() / "gone").string() + " to continue.");
    EXPECT_EQ(dialogs_->opened[1].prompt, "Allow Access");
    EXPECT_EQ(model_->currentState(),
              PipelineState::error("Resume needs access to the original photos folder: " +
                                   (folder_.path() / "gone").string()));
    EXPECT_FALSE(model_->hasActiveOperation());

    // The photos' new place is taken.
    fs::create_directories(folder_.path() / "moved");
    dialogs_->answer(folder_.path() / "moved");
    model_->resumeTraining();
    EXPECT_TRUE(model_->hasActiveOperation());
    endOperation();
}

TEST_F(ResumeRemerge, RemergeReportsWithoutSettingsAndKeepsTheCellCounters) {
    fs::create_directories(workspace_);
    model_->setTotalCells(5);
    model_->setTrainingLog(QStringLiteral("old\n"));
    dialogs_->answer(workspace_);
    model_->startRemerge();
    EXPECT_EQ(dialogs_->opened[0].message,
              "Pick a Tessaron_workspace folder (its name may include a date) containing partitions/cell_*/output.ply");
    ASSERT_TRUE(model_->runReport());
    EXPECT_EQ(model_->runReport()->kind, "Re-merge");
    EXPECT_TRUE(model_->runReport()->settings.empty());
    EXPECT_EQ(model_->totalCells(), 5);
    EXPECT_EQ(model_->currentWorkspaceURL(), workspace_);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->hasActiveOperation(); }, 30000));
}

TEST_F(ResumeRemerge, TheTourSampleNeitherResumesNorMerges) {
    model_->setIsTourSample(true);
    model_->selectResumeWorkspace();
    model_->startRemerge();
    EXPECT_TRUE(dialogs_->opened.empty());
}


// A resume that trained the last cell leaves the card saying so, and the
// workspace panels open in the folder that holds the workspace.
TEST_F(ResumeRemerge, AFinishedResumeShowsTheWorkspaceAsItNowIsAndThePanelsOpenBesideIt) {
    writeInterruptedWorkspace(R"({"downscale": 2, "eval": true, "capMax": 1000000, "iterations": 30})");
    dialogs_->answer(workspace_);
    model_->selectResumeWorkspace();
    EXPECT_FALSE(dialogs_->opened[0].startFolder);  // no workspace yet to open beside
    ASSERT_TRUE(model_->workspaceScanResult());
    ASSERT_EQ(model_->workspaceScanResult()->incompleteCells().size(), 1u);

    // The driver trains the cell: its model appears in its folder.
    PipelineViewModel::DriverCalls calls;
    calls.resumeInterruptedTraining = [cell = workspace_ / "partitions" / "cell_0"](
                                          const pipeline::PipelineManager::ResumeOptions&, std::stop_token) {
        const std::vector<std::string> names = {"x",      "y",       "z",       "f_dc_0",  "f_dc_1",
                                                "f_dc_2", "opacity", "scale_0", "scale_1", "scale_2",
                                                "rot_0",  "rot_1",   "rot_2",   "rot_3"};
        writeFloatPly(cell / "output.ply", names, std::vector<float>(names.size(), 0.5f));
    };
    ModelAccess::setDriverCalls(*model_, calls);
    model_->resumeTraining();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->hasActiveOperation(); }, 30000));
    ASSERT_TRUE(model_->workspaceScanResult());
    EXPECT_TRUE(model_->workspaceScanResult()->incompleteCells().empty());
    EXPECT_TRUE(model_->workspaceScanResult()->missingPlannedCells.empty());
    EXPECT_EQ(model_->workspaceScanResult()->completedCells().size(), 1u);

    dialogs_->answer(std::nullopt);
    model_->selectResumeWorkspace();
    EXPECT_EQ(dialogs_->opened.back().startFolder, folder_.path());
    // A reset forgets the run, not where its workspace lies.
    model_->resetRunState();
    dialogs_->answer(std::nullopt);
    model_->startRemerge();
    EXPECT_EQ(dialogs_->opened.back().startFolder, folder_.path());
}

}  // namespace
}  // namespace tessaron::testing
