// The driver's reports, fired from worker threads as the driver fires them,
// reach the view model's properties on the GUI thread only.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <chrono>
#include <thread>

#include <opencv2/core.hpp>

#include "support/EventLoopWait.hpp"
#include "viewmodel/ViewModelTestSupport.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::pipeline {
// The bound callbacks, as the manager holds them.
struct PipelineManagerTestAccess {
    static std::shared_ptr<const PipelineManager::Callbacks> callbacks(const PipelineManager& manager) {
        return manager.callbacks();
    }
};
}  // namespace tessaron::pipeline

namespace tessaron::testing {
namespace {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;

using pipeline::PipelineManagerTestAccess;
using pipeline::PipelineState;
using viewmodel::PipelineViewModel;
using Kind = PipelineState::Kind;
using Callbacks = pipeline::PipelineManager::Callbacks;

class EngineCallbacksTest : public ViewModelTest {
protected:
    void SetUp() override {
        model_ = makeViewModel();
        callbacks_ = PipelineManagerTestAccess::callbacks(*model_->pipelineManager());
        ASSERT_TRUE(callbacks_);
    }

    // Runs `report` on a thread of its own, as the driver's worker does.
    static void fromWorker(const std::function<void()>& report) { std::jthread(report).join(); }

    // Fails when a change signal of `model_` fires off the GUI thread.
    template <typename Signal>
    void expectGuiThread(Signal signal) {
        QObject::connect(model_.get(), signal, model_.get(), [this] {
            if (QThread::currentThread() != model_->thread()) ++offThread_;
        }, Qt::DirectConnection);
    }

    std::unique_ptr<PipelineViewModel> model_;
    std::shared_ptr<const Callbacks> callbacks_;
    int offThread_ = 0;
};

TEST_F(EngineCallbacksTest, EveryHandlerIsBoundAndOnLogIsOneOfThem) {
    const Callbacks& bound = *callbacks_;
    EXPECT_TRUE(bound.onLog && bound.onStateChange && bound.onPartitionProgress && bound.onTrainingStats &&
                bound.onPartitionPlanReady && bound.onCellStarted && bound.onCellFinished && bound.onLogFileReady &&
                bound.onOutputReady && bound.onMaterializationProgress && bound.onExtractionProgress &&
                bound.onConversionPreview && bound.onWarning);
}

TEST_F(EngineCallbacksTest, CountersAndResultsArePublishedOnTheGuiThreadInOrder) {
    expectGuiThread(&PipelineViewModel::iterationChanged);
    expectGuiThread(&PipelineViewModel::extractionCurrentChanged);
    expectGuiThread(&PipelineViewModel::completedCellDurationsChanged);
    fromWorker([&] {
        callbacks_->onTrainingStats(1200, 45000, 12.5f);
        callbacks_->onMaterializationProgress(3, 7);
        callbacks_->onExtractionProgress(40, 900);
        callbacks_->onLogFileReady("/tmp/ws/Tessaron_logs/run.md");
        callbacks_->onOutputReady("/tmp/ws/output.ply");
        callbacks_->onCellFinished(61.5);
        callbacks_->onCellFinished(58.0);
    });
    // Nothing changes before the GUI thread runs the reports.
    EXPECT_EQ(model_->iteration(), 0);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return model_->completedCellDurations() == viewmodel::CellDurations{61.5, 58.0}; }));
    EXPECT_EQ(model_->iteration(), 1200);
    EXPECT_EQ(model_->splatCount(), 45000);
    EXPECT_FLOAT_EQ(model_->msPerStep(), 12.5f);
    EXPECT_EQ(model_->materializedCellCount(), 3);
    EXPECT_EQ(model_->materializationTotalCells(), 7);
    EXPECT_EQ(model_->extractionCurrent(), 40);
    EXPECT_EQ(model_->extractionTotal(), 900);
    EXPECT_EQ(model_->logFileURL(), std::filesystem::path("/tmp/ws/Tessaron_logs/run.md"));
    EXPECT_EQ(model_->outputPlyPath(), QString("/tmp/ws/output.ply"));
    EXPECT_EQ(offThread_, 0);
}

TEST_F(EngineCallbacksTest, CellStartResetsTheIterationAndStampsTheGuiThreadsTime) {
    model_->setIteration(999);
    fromWorker([&] { callbacks_->onCellStarted(2, 5, 7000); });
    // The stamp is the handling time, not the report's: the GUI thread is
    // busy for a while before it handles the report.
    const QDateTime reported = QDateTime::currentDateTime();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(QTest::qWaitFor([&] { return model_->currentCellIndex() == 2; }));
    EXPECT_EQ(model_->totalCells(), 5);
    EXPECT_EQ(model_->currentCellTargetIterations(), viewmodel::OptionalCount(7000));
    EXPECT_EQ(model_->iteration(), 0);
    ASSERT_TRUE(model_->cellStartedAt().has_value());
    EXPECT_GE(reported.msecsTo(*model_->cellStartedAt()), 200);
}

TEST_F(EngineCallbacksTest, CellStartDuringTrainingNamesTheCellInTheRunReport) {
    ModelAccess::beginRunReport(*model_, "New run", "/photos", {});
    fromWorker([&] {
        callbacks_->onStateChange(PipelineState(Kind::training));
        callbacks_->onCellStarted(3, 4, 7000);
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return model_->currentCellIndex() == 3; }));
    ASSERT_TRUE(model_->runReport().has_value());
    EXPECT_EQ(model_->runReport()->step, "Training (cell 3 of 4)");
    EXPECT_EQ(savedReport().step, "Training (cell 3 of 4)");
}

// A warning about the result is kept in the report, which still completes.
TEST_F(EngineCallbacksTest, WarningsOfTheDriverAreKeptInTheRunReport) {
    ModelAccess::beginRunReport(*model_, "New run", "/photos", {});
    const std::string warning =
        "Model PSNR fell below its untrained seeds' — training made it worse. Quality may be poor.";
    fromWorker([&] {
        callbacks_->onStateChange(PipelineState(Kind::training));
        callbacks_->onWarning(warning);
        callbacks_->onStateChange(PipelineState(Kind::completed));
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return model_->currentState().kind == Kind::completed; }));
    const pipeline::RunReport saved = savedReport();
    EXPECT_EQ(saved.outcome, pipeline::RunReport::Outcome::completed);
    EXPECT_EQ(saved.warnings, std::vector<std::string>{warning});
    EXPECT_NE(saved.summary().find("\nWarning: " + warning + "\n"), std::string::npos) << saved.summary();
}

TEST_F(EngineCallbacksTest, StateChangesDriveTheSnapshotPoll) {
    expectGuiThread(&PipelineViewModel::currentStateChanged);
    fromWorker([&] { callbacks_->onStateChange(PipelineState(Kind::processingSfM)); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return model_->currentState().kind == Kind::processingSfM; }));
    EXPECT_TRUE(ModelAccess::isPollingSfMSnapshots(*model_));
    fromWorker([&] { callbacks_->onStateChange(PipelineState(Kind::preparingData)); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return model_->currentState().kind == Kind::preparingData; }));
    EXPECT_FALSE(ModelAccess::isPollingSfMSnapshots(*model_));

    // The global mapper writes no snapshots, except that a 360° rig never runs it.
    model_->setUseGlobalMapper(true);
    ModelAccess::updateSfMSnapshotPolling(*model_, PipelineState(Kind::processingSfM));
    EXPECT_FALSE(ModelAccess::isPollingSfMSnapshots(*model_));
    model_->setIsInputVideo(true);
    model_->setTreatAs360(true);
    ModelAccess::updateSfMSnapshotPolling(*model_, PipelineState(Kind::processingSfM));
    EXPECT_TRUE(ModelAccess::isPollingSfMSnapshots(*model_));
    ModelAccess::updateSfMSnapshotPolling(*model_, PipelineState::error("COLMAP failed"));
    EXPECT_FALSE(ModelAccess::isPollingSfMSnapshots(*model_));
    EXPECT_EQ(offThread_, 0);
}

TEST_F(EngineCallbacksTest, PlanIsSharedAndClearsTheProgressEvenOneStillWaiting) {
    model_->setPartitionProgress(partition::PartitionProgress{"k-means", {}, 3});
    partition::PartitionPlan plan;
    plan.budgetGB = 12;
    fromWorker([&] {
        callbacks_->onPartitionProgress(partition::PartitionProgress{"split", {}, 4});
        callbacks_->onPartitionPlanReady(plan);
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return model_->partitionPlan() != nullptr; }));
    EXPECT_EQ(*model_->partitionPlan(), plan);
    EXPECT_EQ(model_->partitionProgress(), std::nullopt);
    ASSERT_TRUE(deliverEventsDueWithin(std::chrono::milliseconds(300)));  // past the 0.15 s wait of the one that waited
    EXPECT_EQ(model_->partitionProgress(), std::nullopt);
}

TEST_F(EngineCallbacksTest, ABurstOfProgressPublishesTheLastReportOnce0_15sLater) {
    QSignalSpy published(model_.get(), &PipelineViewModel::partitionProgressChanged);
    std::chrono::steady_clock::time_point lastReport;
    fromWorker([&] {
        for (int index = 1; index <= 100; ++index) {
            callbacks_->onPartitionProgress(partition::PartitionProgress{"k-means", {{double(index), 0}}, index});
            std::this_thread::sleep_for(std::chrono::microseconds(900));
        }
        lastReport = std::chrono::steady_clock::now();
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return published.count() == 1; }));
    const double delay = std::chrono::duration<double>(std::chrono::steady_clock::now() - lastReport).count();
    EXPECT_GE(delay, 0.14);
    ASSERT_TRUE(model_->partitionProgress().has_value());
    EXPECT_EQ(model_->partitionProgress()->cellCount, 100);
    ASSERT_TRUE(deliverEventsDueWithin(std::chrono::milliseconds(300)));
    EXPECT_EQ(published.count(), 1);

    // Reports further apart than the wait are each published: the second
    // comes once the first, 0.15 s later, has been.
    published.clear();
    fromWorker([&] { callbacks_->onPartitionProgress(partition::PartitionProgress{"split", {}, 5}); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return published.count() == 1; }, 30000));
    fromWorker([&] { callbacks_->onPartitionProgress(partition::PartitionProgress{"split", {}, 6}); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return published.count() == 2; }));
    EXPECT_EQ(model_->partitionProgress()->cellCount, 6);
}

TEST_F(EngineCallbacksTest, PreviewCropsBecomeThumbnailsBeforeTheHop) {
    input::VideoFrameExtractor::Conversion360Preview preview;
    preview.equirect = cv::Mat(640, 1280, CV_8UC4, cv::Scalar(10, 20, 30, 255));
    preview.crops = {cv::Mat(2048, 2048, CV_8UC4, cv::Scalar(255, 0, 0, 255)),
                     cv::Mat(400, 1000, CV_8UC3, cv::Scalar(0, 0, 255))};
    preview.sourceFrameIndex = 42;
    preview.extractedFrames = 5;
    fromWorker([&] { callbacks_->onConversionPreview(preview); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return model_->conversionPreview() != nullptr; }));
    const viewmodel::ConversionPreview& light = *model_->conversionPreview();
    EXPECT_EQ(light.equirect.size(), QSize(1280, 640));
    EXPECT_EQ(light.equirect.pixelColor(5, 5), QColor(30, 20, 10));
    ASSERT_EQ(light.crops.size(), 2u);
    EXPECT_EQ(light.crops[0].size(), QSize(320, 320));
    EXPECT_EQ(light.crops[0].pixelColor(100, 100), QColor(0, 0, 255));  // BGR blue
    EXPECT_EQ(light.crops[1].size(), QSize(320, 128));
    EXPECT_EQ(light.crops[1].pixelColor(10, 10), QColor(255, 0, 0));
    EXPECT_EQ(light.sourceFrameIndex, 42);
    EXPECT_EQ(light.extractedFrames, 5);
}

TEST_F(EngineCallbacksTest, ReportsAfterTheModelIsGoneChangeNothingAndDoNotFail) {
    model_.reset();
    fromWorker([&] {
        callbacks_->onStateChange(PipelineState(Kind::training));
        callbacks_->onPartitionProgress(partition::PartitionProgress{"split", {}, 4});
        callbacks_->onLog(pipeline::PipelineLogStep::sfm, "Processed file [1/2]");
        callbacks_->onCellStarted(1, 2, 100);
    });
    ASSERT_TRUE(deliverEventsDueWithin(std::chrono::milliseconds(300)));  // queued work, if any, would run here
}

}  // namespace
}  // namespace tessaron::testing
