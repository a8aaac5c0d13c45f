// The tour's director on a sample view model: what each step stages, the
// simulated counters, the sample data and its absence.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include <fstream>
#include <map>

#include "partition/PartitionPlan.hpp"
#include "services/TourOrchestrator.hpp"
#include "support/TempDir.hpp"
#include "viewmodel/PipelineViewModel.hpp"
#include "viewmodel/ViewModelTestSupport.hpp"
#include "TourTestSupport.hpp"
#include "support/EventLoopWait.hpp"

namespace tessaron::testing {
namespace {

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

using services::TourOrchestrator;
using Step = TourOrchestrator::TourStep;
using Kind = pipeline::PipelineState::Kind;
using viewmodel::PipelineViewModel;
namespace fs = std::filesystem;

class TourOrchestratorTest : public ::testing::Test {
protected:
    void SetUp() override {
        // TourData with a small plan file, a sample result beside it.
        fs::create_directories(resources_.path() / "TourData" / "sparse" / "0");
        partition::PartitionPlan plan;
        plan.save(resources_.path() / "TourData" / "tour_partition_plan.json");
        std::ofstream(resources_.path() / "dummy_tour.ply") << "ply\n";
        tour_.setResourceLookup([this](const std::string& name) -> std::optional<fs::path> {
            fs::path candidate = resources_.path() / name;
            if (fs::exists(candidate)) return candidate;
            return std::nullopt;
        });
    }

    std::unique_ptr<viewmodel::PipelineViewModel> makeSample() { return makeTourSample(support_); }

    void advanceTo(Step step) {
        while (tour_.currentTourStep() != step) tour_.advance();
    }

    PipelineViewModel& sample() { return tour_.mockVM(); }

    TempDir support_{"tessaron-tour-support"};
    TempDir resources_{"tessaron-tour-resources"};
    TourOrchestrator tour_{makeSample()};
};

TEST_F(TourOrchestratorTest, WalksSixteenStepsInOrderAndStaysAtTheLast) {
    EXPECT_EQ(tour_.currentTourStep(), Step::introduction);
    QSignalSpy changes(&tour_, &TourOrchestrator::currentTourStepChanged);
    const auto& steps = services::allTourSteps();
    for (size_t index = 1; index < steps.size(); ++index) {
        tour_.advance();
        EXPECT_EQ(tour_.currentTourStep(), steps[index]);
    }
    EXPECT_EQ(changes.count(), 15);
    tour_.advance();
    EXPECT_EQ(tour_.currentTourStep(), Step::final_render);
    EXPECT_EQ(changes.count(), 15);
}

TEST(TourStepNames, AreTheCaseNamesBothWays) {
    const auto& steps = services::allTourSteps();
    ASSERT_EQ(steps.size(), 16u);
    EXPECT_EQ(services::toString(steps[0]), "introduction");
    EXPECT_EQ(services::toString(Step::input_advanced_vast), "input_advanced_vast");
    EXPECT_EQ(services::toString(steps[15]), "final_render");
    for (Step step : steps) EXPECT_EQ(services::tourStepFromString(services::toString(step)), step);
    EXPECT_EQ(services::tourStepFromString("Introduction"), std::nullopt);
    EXPECT_EQ(services::tourStepFromString(""), std::nullopt);
}

TEST_F(TourOrchestratorTest, TheInputStepsScrollTheFormToTheirSection) {
    std::map<Step, std::optional<QString>> targets;
    for (size_t index = 1; index <= 9; ++index) {
        tour_.advance();
        targets[tour_.currentTourStep()] = sample().tourScrollTarget();
    }
    EXPECT_EQ(targets[Step::main_progress_bar], std::nullopt);
    for (Step step : {Step::input_dropzone, Step::input_reconstruction, Step::model_size, Step::input_advanced_toggle,
                      Step::input_advanced_extraction, Step::input_advanced_colmap, Step::input_advanced_training,
                      Step::input_advanced_vast})
        EXPECT_EQ(targets[step], QString::fromStdString(services::toString(step)));
}

TEST_F(TourOrchestratorTest, TheSampleInputIsAVideoWithAProfileAndTheAdvancedSettingsOpen) {
    advanceTo(Step::input_dropzone);
    EXPECT_FALSE(sample().selectedInputURL());
    tour_.advance();
    // A video as the form shows one: a video's name, its frame count estimated.
    EXPECT_EQ(sample().selectedInputURL(), fs::path("/tmp/fake_dataset.mp4"));
    EXPECT_TRUE(sample().isInputVideo());
    engines::DatasetProfile expected{.imageCount = 100, .nativeWidth = 1920, .nativeHeight = 1080,
                                     .physicalMemoryGB = 16, .availableMemoryGB = 8, .isEstimated = true};
    EXPECT_EQ(sample().datasetProfile(), expected);
    EXPECT_FALSE(sample().showAdvanced());
    advanceTo(Step::input_advanced_extraction);
    EXPECT_TRUE(sample().showAdvanced());
    // Nothing was analysed or started on the sample.
    EXPECT_FALSE(sample().isAnalyzingInput());
    EXPECT_EQ(sample().currentState().kind, Kind::idle);
}

TEST(TourTicker, TruncatesTheInterpolatedValuesAndEndsExactly) {
    const double sfmStep = 100.0 / 30;
    std::vector<int64_t> sfm;
    for (int tick = 1; tick <= 30; ++tick) sfm.push_back(TourOrchestrator::tickerValue(tick, 30, 0, 100, sfmStep));
    EXPECT_EQ(std::vector<int64_t>(sfm.begin(), sfm.begin() + 4), (std::vector<int64_t>{3, 6, 10, 13}));
    EXPECT_EQ(sfm[28], 96);
    EXPECT_EQ(sfm[29], 100);
    const double trainingStep = 10000.0 / 30;
    EXPECT_EQ(TourOrchestrator::tickerValue(1, 30, 0, 10000, trainingStep), 333);
    EXPECT_EQ(TourOrchestrator::tickerValue(2, 30, 0, 10000, trainingStep), 666);
    EXPECT_EQ(TourOrchestrator::tickerValue(3, 30, 0, 10000, trainingStep), 1000);
    EXPECT_EQ(TourOrchestrator::tickerValue(29, 30, 0, 10000, trainingStep), 9666);
    EXPECT_EQ(TourOrchestrator::tickerValue(30, 30, 0, 10000, trainingStep), 10000);
}

TEST_F(TourOrchestratorTest, TheLiveReconstructionClimbsToAllImagesInThirtyTicks) {
    advanceTo(Step::input_advanced_vast);
    std::vector<int64_t> registered;
    QObject::connect(&sample(), &PipelineViewModel::sfmRegisteredImagesChanged, &tour_,
                     [&] { registered.push_back(sample().sfmRegisteredImages()); });
    tour_.advance();
    EXPECT_EQ(sample().currentState().kind, Kind::processingSfM);
    EXPECT_EQ(sample().sfmTotalImages(), 100);
    const auto snapshot = sample().latestSfMSnapshot();
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->url, fs::path("/tmp/fake_sfm"));
    ASSERT_EQ(snapshot->ids.size(), 500u);
    ASSERT_EQ(snapshot->positions.size(), 500u);
    for (size_t index = 0; index < 500; ++index) {
        EXPECT_EQ(snapshot->ids[index], index);
        for (float coordinate : snapshot->positions[index]) {
            EXPECT_GE(coordinate, -2.0f);
            EXPECT_LE(coordinate, 2.0f);
        }
    }
    EXPECT_TRUE(tour_.isTimerActive());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !tour_.isTimerActive(); }, 30000));
    ASSERT_EQ(registered.size(), 30u);
    EXPECT_EQ(registered.front(), 3);
    EXPECT_EQ(registered.back(), 100);
    EXPECT_TRUE(std::is_sorted(registered.begin(), registered.end()));
}

TEST_F(TourOrchestratorTest, MovingOnQuicklyLeavesTheReconstructionTickerRunningToTheEnd) {
    advanceTo(Step::sfm_visualizer);
    ::testing::internal::CaptureStdout();
    tour_.advance();
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(tour_.currentTourStep(), Step::planning_visualizer);
    EXPECT_TRUE(tour_.isTimerActive());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !tour_.isTimerActive(); }, 30000));
    EXPECT_EQ(sample().sfmRegisteredImages(), 100);
}

TEST_F(TourOrchestratorTest, PlanningReadsTheSamplePlanAndAwaitsApprovalAfterHalfASecond) {
    advanceTo(Step::sfm_visualizer);
    ::testing::internal::CaptureStdout();
    tour_.advance();
    const std::string printed = ::testing::internal::GetCapturedStdout();
    const fs::path tourData = resources_.path() / "TourData";
    EXPECT_EQ(printed, "[Tour] colmapDataURL → " + tourData.string() + "\n[Tour] sceneSparseURL → " +
                           (tourData / "sparse" / "0").string() + "\n");
    EXPECT_EQ(sample().colmapDataURL(), tourData);
    EXPECT_TRUE(sample().partitionPlan());
    EXPECT_EQ(sample().currentState().kind, Kind::preparingData);
    ASSERT_TRUE(QTest::qWaitFor([&] { return sample().currentState().kind == Kind::awaitingPartitionApproval; }, 30000));
}

TEST_F(TourOrchestratorTest, LeavingPlanningWithinHalfASecondDropsTheDelayedChange) {
    advanceTo(Step::sfm_visualizer);
    ::testing::internal::CaptureStdout();
    tour_.advance();
    ::testing::internal::GetCapturedStdout();
    tour_.advance();
    EXPECT_EQ(sample().currentState().kind, Kind::awaitingPartitionApproval);
    tour_.advance();
    EXPECT_EQ(sample().currentState().kind, Kind::training);
    ASSERT_TRUE(deliverEventsDueWithin(std::chrono::milliseconds(500)));  // the planning step's delay has passed
    EXPECT_EQ(sample().currentState().kind, Kind::training);
}

TEST_F(TourOrchestratorTest, WithoutTourDataThePlanningStepsGoOnWithoutAPlan) {
    fs::remove_all(resources_.path() / "TourData");
    advanceTo(Step::sfm_visualizer);
    ::testing::internal::CaptureStdout();
    tour_.advance();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "[Tour] ⚠️ TourData bundle resource not found\n");
    EXPECT_FALSE(sample().colmapDataURL());
    EXPECT_FALSE(sample().partitionPlan());
    tour_.advance();
    EXPECT_EQ(tour_.currentTourStep(), Step::planning_resources);
}

TEST_F(TourOrchestratorTest, ABrokenPlanFilePrintsTheDecodeErrorAndLeavesNoPlan) {
    std::ofstream(resources_.path() / "TourData" / "tour_partition_plan.json", std::ios::trunc) << "{\"cells\": 7";
    advanceTo(Step::sfm_visualizer);
    ::testing::internal::CaptureStdout();
    tour_.advance();
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("\n[Tour] ❌ Decode error: "), std::string::npos) << printed;
    EXPECT_EQ(sample().colmapDataURL(), resources_.path() / "TourData");
    EXPECT_FALSE(sample().partitionPlan());
}

TEST_F(TourOrchestratorTest, TrainingRunsTheCountersForTwoSecondsWithTheSampleLog) {
    ::testing::internal::CaptureStdout();
    advanceTo(Step::training_stats);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(sample().currentState().kind, Kind::training);
    EXPECT_EQ(sample().totalCells(), 6);
    EXPECT_EQ(sample().currentCellIndex(), 1);
    EXPECT_EQ(sample().currentCellTargetIterations(), 30000);
    EXPECT_EQ(sample().splatCount(), 100000);
    EXPECT_EQ(sample().iteration(), 0);
    EXPECT_EQ(sample().trainingLog(),
              QStringLiteral("[TRAIN] [engine] trevik 1.1.3 | CPU\n"
                             "[TRAIN] Eval mode: 87 train, 13 test\n"
                             "[TRAIN] step=1000 splats=51522 6.0ms/step\n"
                             "[TRAIN] MCMC step=2000 active=83919 grown=3996\n"
                             "[TRAIN] step=2000 splats=83919 11.5ms/step\n"
                             "[TRAIN] step=5000 splats=362661 18.0ms/step"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return sample().iteration() > 0; }, 30000));
    EXPECT_EQ(sample().splatCount(), 10 * sample().iteration() + 100000);
    EXPECT_EQ(sample().msPerStep(), 18.0f);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !tour_.isTimerActive(); }, 30000));
    EXPECT_EQ(sample().iteration(), 10000);
    EXPECT_EQ(sample().splatCount(), 200000);
    // The sample has no run report: refreshing it wrote nothing.
    EXPECT_FALSE(sample().runReportActive());
    EXPECT_FALSE(fs::exists(support_.path() / "Logs" / "last_run.json"));
}

TEST_F(TourOrchestratorTest, TheLogsOpenAndTheResultIsTheSamplePly) {
    ::testing::internal::CaptureStdout();
    advanceTo(Step::training_logs);
    ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(sample().isLogMenuExpanded());
    tour_.advance();
    EXPECT_FALSE(sample().isLogMenuExpanded());
    EXPECT_EQ(sample().outputPlyPath(), QString::fromStdString((resources_.path() / "dummy_tour.ply").string()));
    EXPECT_EQ(sample().currentState().kind, Kind::completed);
}

TEST_F(TourOrchestratorTest, WithoutTheSampleResultThereIsNoOutput) {
    fs::remove(resources_.path() / "dummy_tour.ply");
    sample().setOutputPlyPath(QStringLiteral("/stale.ply"));
    ::testing::internal::CaptureStdout();
    advanceTo(Step::final_render);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(sample().outputPlyPath(), std::nullopt);
    EXPECT_EQ(sample().currentState().kind, Kind::completed);
}

TEST_F(TourOrchestratorTest, InvalidatingTheTimerOrGoingAwayStopsTheCounters) {
    advanceTo(Step::sfm_visualizer);
    ASSERT_TRUE(tour_.isTimerActive());
    tour_.invalidateTimer();
    const int64_t stopped = sample().sfmRegisteredImages();
    ASSERT_TRUE(deliverEventsDueWithin(std::chrono::milliseconds(200)));  // four ticks' time
    EXPECT_EQ(sample().sfmRegisteredImages(), stopped);
    // A director that goes away mid-count leaves no tick behind.
    auto other = std::make_unique<TourOrchestrator>(makeSample());
    for (int step = 0; step < 10; ++step) other->advance();
    ASSERT_TRUE(other->isTimerActive());
    other.reset();
    ASSERT_TRUE(deliverEventsDueWithin(std::chrono::milliseconds(120)));
}

TEST_F(TourOrchestratorTest, ANewSampleReplacesTheOldOne) {
    QSignalSpy changed(&tour_, &TourOrchestrator::mockVMChanged);
    PipelineViewModel* before = &sample();
    tour_.setMockVM(makeSample());
    EXPECT_NE(&sample(), before);
    EXPECT_TRUE(sample().isTourSample());
    EXPECT_EQ(changed.count(), 1);
}

}  // namespace
}  // namespace tessaron::testing
