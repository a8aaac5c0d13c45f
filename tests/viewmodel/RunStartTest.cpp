// Starting a new run from the view model: the output panel, the free-space
// check, the workspace, the captured settings and the run on its worker with
// the tests' engine.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QLocale>
#include <QTest>

#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>

#include "support/SyntheticDataset.hpp"
#include "viewmodel/ScriptedDialogs.hpp"
#include "viewmodel/ViewModelTestSupport.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::testing {
namespace {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;

namespace fs = std::filesystem;
using pipeline::PipelineState;
using pipeline::RunReport;
using viewmodel::PipelineViewModel;
using Kind = PipelineState::Kind;

class RunStart : public ViewModelTest {
protected:
    void SetUp() override {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        model_ = makeViewModel();
        model_->setDialogService(dialogs_);
        ModelAccess::setFreeSpaceProbe(*model_, [this](const fs::path&) { return freeBytes_; });
        fs::create_directories(output_);
    }
    void TearDown() override {
        model_.reset();
        QLocale::setDefault(QLocale::c());
    }

    // The imported-model route on a small synthetic capture, trained briefly
    // as one model.
    void chooseImportedCapture() {
        SyntheticDataset::write(capture_, 6, SyntheticDataset::latticePoints(100));
        // Real pictures: the engine decodes them when it measures itself.
        QImage picture(640, 480, QImage::Format_RGB32);
        picture.fill(QColor(90, 120, 150));
        for (size_t index = 0; index < 6; ++index)
            ASSERT_TRUE(picture.save(QString::fromStdString((capture_ / "images" / SyntheticDataset::imageName(index)).string()), "JPG"));
        model_->setSelectedInputURL(folder_.path() / "photos");
        model_->setSkipSfM(true);
        model_->setColmapDataURL(capture_);
        model_->setTrainingIterations(30);
        model_->setTrevikEvalMode(false);
        model_->setTrevikDownscaleFactor(1);
        model_->setUseVastGaussian(false);
        model_->setRamLimitGB(64);
    }

    bool workspaceCreated() const { return fs::exists(output_ / "Tessaron_workspace"); }

    TempDir folder_{"viewmodel-run-start"};
    fs::path output_ = folder_.path() / "output";
    fs::path capture_ = folder_.path() / "capture";
    std::shared_ptr<ScriptedDialogs> dialogs_ = std::make_shared<ScriptedDialogs>();
    std::optional<uint64_t> freeBytes_;
    std::unique_ptr<PipelineViewModel> model_;
};

TEST_F(RunStart, TheOutputPanelAsksForAFolderThatMayBeCreated) {
    model_->setSelectedInputURL(folder_.path() / "photos");
    dialogs_->answer(std::nullopt);
    model_->startNewRun();
    ASSERT_EQ(dialogs_->opened.size(), 1u);
    EXPECT_EQ(dialogs_->opened[0].title, "Select Output Workspace Folder");
    EXPECT_EQ(dialogs_->opened[0].message,
              "Choose a folder for this run. Tessaron creates a new Tessaron_workspace folder inside it.");
    EXPECT_TRUE(dialogs_->opened[0].canCreateFolders);
    EXPECT_FALSE(dialogs_->opened[0].canChooseFiles);
    // Cancelled: nothing happened.
    EXPECT_EQ(model_->currentState(), Kind::idle);
    EXPECT_FALSE(model_->hasActiveOperation());
    EXPECT_FALSE(fs::exists(reportFile()));
}

struct FreeSpaceCase {
    uint64_t bytes;
    const char* shown;
};

void PrintTo(const FreeSpaceCase& volume, std::ostream* out) { *out << volume.bytes << " bytes"; }

class FreeSpaceRefusal : public RunStart, public ::testing::WithParamInterface<FreeSpaceCase> {};

TEST_P(FreeSpaceRefusal, NamesTheFreeSpaceInTheLimitsUnitAndCreatesNothing) {
    model_->setSelectedInputURL(folder_.path() / "photos");
    model_->setTrainingLog(QStringLiteral("the previous run\n"));
    freeBytes_ = GetParam().bytes;
    dialogs_->answer(output_);
    model_->startNewRun();
    EXPECT_EQ(model_->currentState(),
              PipelineState::error(std::string("Only ") + GetParam().shown +
                                   " free on this disk. Tessaron needs at least 10 GB \u2014 choose another folder or "
                                   "free up space."));
    EXPECT_FALSE(workspaceCreated());
    EXPECT_FALSE(model_->hasActiveOperation());
    EXPECT_EQ(model_->trainingLog(), "the previous run\n");
}

INSTANTIATE_TEST_SUITE_P(Volumes, FreeSpaceRefusal,
                         ::testing::Values(FreeSpaceCase{10630044058, "9.9 GB"},
                                           // One byte short reads below the limit, never as "10.0 GB".
                                           FreeSpaceCase{10737418239, "9.9 GB"}, FreeSpaceCase{524288000, "500.0 MB"},
                                           FreeSpaceCase{512, "512 bytes"}),
                         [](const auto& info) { return "Bytes" + std::to_string(info.param.bytes); });

TEST_F(RunStart, AnOperationBegunWhileThePanelWasOpenKeepsEverything) {
    model_->setSelectedInputURL(folder_.path() / "photos");
    model_->setTrainingLog(QStringLiteral("the other run\n"));
    std::atomic<bool> release = false;
    dialogs_->answerWith([&]() -> std::optional<fs::path> {
        ModelAccess::runTrackedOperation(*model_, [&release](std::stop_token) {
            while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        });
        return output_;
    });
    model_->startNewRun();
    EXPECT_FALSE(workspaceCreated());
    EXPECT_EQ(model_->trainingLog(), "the other run\n");
    EXPECT_FALSE(model_->currentWorkspaceURL());
    EXPECT_FALSE(fs::exists(reportFile()));
    release = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ModelAccess::hasActiveTask(*model_); }, 30000));
}

// A setting past the engine's limit is refused at the start, naming it and
// its value: no panel, no workspace, no run that would fail after COLMAP.
TEST_F(RunStart, ASettingPastTheEnginesLimitIsRefusedBeforeAnythingRuns) {
    model_->setSelectedInputURL(folder_.path() / "photos");
    for (const auto& [iterations, downscale, refusal] :
         {std::tuple{qint64(2000000), qint64(0), "Iterations must be at most 1000000 (is 2000000)"},
          std::tuple{qint64(1000000), qint64(-1), "Downscale must be at least 0 (is -1)"}}) {
        model_->setTrainingIterations(iterations);
        model_->setTrevikDownscaleFactor(downscale);
        // No answer is scripted: a panel that opened would throw.
        model_->startNewRun();
        EXPECT_TRUE(dialogs_->opened.empty());
        EXPECT_EQ(model_->currentState(), PipelineState::error(refusal));
        EXPECT_FALSE(workspaceCreated());
        EXPECT_FALSE(model_->hasActiveOperation());
    }
}

struct BusyStart {
    const char* name;
    void (PipelineViewModel::*operation)();
};

void PrintTo(const BusyStart& start, std::ostream* out) { *out << start.name; }

class StartWhileBusy : public RunStart, public ::testing::WithParamInterface<BusyStart> {};

TEST_P(StartWhileBusy, OpensNoPanelAndChangesNothing) {
    model_->setSelectedInputURL(folder_.path() / "photos");
    model_->setTrainingLog(QStringLiteral("the running operation\n"));
    model_->setCurrentState(Kind::training);
    std::atomic<bool> release = false;
    model_->setHasActiveOperation(true);
    ModelAccess::runTrackedOperation(*model_, [&release](std::stop_token) {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    });
    // No answer is scripted: a panel that opened would throw.
    (model_.get()->*GetParam().operation)();
    EXPECT_TRUE(dialogs_->opened.empty());
    EXPECT_EQ(model_->currentState(), Kind::training);
    EXPECT_EQ(model_->trainingLog(), "the running operation\n");
    EXPECT_FALSE(model_->currentWorkspaceURL());
    EXPECT_FALSE(model_->runReport());
    release = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ModelAccess::hasActiveTask(*model_); }, 30000));
    model_->setHasActiveOperation(false);
}

INSTANTIATE_TEST_SUITE_P(Operations, StartWhileBusy,
                         ::testing::Values(BusyStart{"NewRun", &PipelineViewModel::startNewRun},
                                           BusyStart{"Remerge", &PipelineViewModel::startRemerge},
                                           BusyStart{"ResumeWorkspace", &PipelineViewModel::selectResumeWorkspace},
                                           BusyStart{"Resume", &PipelineViewModel::resumeTraining}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunStart, ExactlyTenGigabytesFreeStartsTheRunInANewWorkspace) {
    model_->setSelectedInputURL(folder_.path() / "no-such-photos");
    model_->setTreatAs360(true);  // a photo folder is never 360°
    model_->setSfmViewsPerFrame(8);
    freeBytes_ = PipelineViewModel::minimumFreeBytes;
    dialogs_->answer(output_);
    model_->startNewRun();
    EXPECT_TRUE(workspaceCreated());
    EXPECT_EQ(model_->currentWorkspaceURL(), output_ / "Tessaron_workspace");
    EXPECT_EQ(model_->sfmViewsPerFrame(), 1);
    EXPECT_TRUE(model_->hasActiveOperation());
    ASSERT_TRUE(model_->runReport());
    EXPECT_EQ(model_->runReport()->kind, "New run");
    EXPECT_EQ(model_->runReport()->input, "Photo folder");
    EXPECT_EQ(model_->runReport()->settings, model_->settingsSummary());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->hasActiveOperation(); }, 30000));
    EXPECT_FALSE(ModelAccess::hasActiveTask(*model_));
}

TEST_F(RunStart, ACancelRightAfterTheStartIsNeverLost) {
    chooseImportedCapture();
    dialogs_->answer(output_);
    model_->startNewRun();
    ASSERT_TRUE(ModelAccess::hasActiveTask(*model_));
    model_->cancelRun();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->hasActiveOperation(); }, 30000));
    EXPECT_EQ(savedReport().outcome, RunReport::Outcome::cancelled);
    EXPECT_EQ(model_->currentState(), Kind::idle);
    EXPECT_FALSE(fs::exists(output_ / "Tessaron_workspace" / "output.ply"));
}

TEST_F(RunStart, SettingsAreCopiedAtTheStart) {
    chooseImportedCapture();
    model_->setDiagnosticsEnabled(true);
    dialogs_->answer(output_);
    model_->startNewRun();
    // Too late for the running pipeline, which trains its 30 iterations.
    model_->setTrainingIterations(50000);
    model_->setDiagnosticsEnabled(false);
    // Generous: a sanitizer build trains several times slower.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->hasActiveOperation(); }, 150000));
    const std::string log = readTextFile(support_.path() / "Logs" / "current_run.md");
    EXPECT_TRUE(fs::exists(output_ / "Tessaron_workspace" / "output.ply")) << log;
    // The diagnostics choice of the start reached the engine.
    EXPECT_NE(log.find("[TRAIN] Diagnostics ON: BENCHMARK + PROFILE_GPU + PROFILE_STAGES enabled\n"), std::string::npos)
        << log;
}

}  // namespace
}  // namespace tessaron::testing
