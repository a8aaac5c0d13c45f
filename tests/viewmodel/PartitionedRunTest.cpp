// A partitioned run and its resume through the view model, as the window
// drives them: the output panel answered by the test, the plan approved
// while the run waits for it, the cells trained by the tests' engine.
#include <gtest/gtest.h>

#include <QLocale>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <map>

#include "engines/PLYCheck.hpp"
#include "partition/PartitionPlan.hpp"
#include "pipeline/PartitionedRunSupport.hpp"
#include "pipeline/PipelineTestSupport.hpp"
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
using ApprovalOutcome = pipeline::PipelineManager::ApprovalOutcome;

// The capture planned under this limit gives four trainable cells.
constexpr double fourCellLimitGB = 3.65;

class PartitionedRun : public ViewModelTest {
protected:
    void SetUp() override {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        PartitionedCapture::write(capture_);
        model_ = makeViewModel();
        model_->setDialogService(dialogs_);
        ModelAccess::setFreeSpaceProbe(*model_, [](const fs::path&) { return std::nullopt; });
        fs::create_directories(output_);
        QObject::connect(model_.get(), &PipelineViewModel::currentStateChanged, model_.get(),
                         [this] { states_.push_back(model_->currentState().kind); });
        // The Planning panel's approval: repeated while the run waits, since
        // an answer that lands before the wait is lost.
        approver_.setInterval(5);
        QObject::connect(&approver_, &QTimer::timeout, model_.get(), [this] {
            if (model_->currentState().kind == Kind::awaitingPartitionApproval)
                model_->pipelineManager()->resolvePartitionApproval(ApprovalOutcome::approved);
        });
        approver_.start();
    }
    void TearDown() override {
        approver_.stop();
        model_.reset();
        QLocale::setDefault(QLocale::c());
    }

    // The capture's imported model, partitioned, 30 iterations per cell.
    void chooseCapture() {
        model_->setSelectedInputURL(capture_ / "images");
        model_->setSkipSfM(true);
        model_->setColmapDataURL(capture_);
        model_->setTrainingIterations(30);
        model_->setTrevikEvalMode(true);
        model_->setTrevikDownscaleFactor(1);
        model_->setUseVastGaussian(true);
        model_->setTrainingCapMax(1000000);
        model_->setRamLimitGB(fourCellLimitGB);
    }

    void waitForTheOperation() {
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return !model_->hasActiveOperation() && !ModelAccess::hasActiveTask(*model_); }, 120000))
            << model_->currentState().message;
    }

    // A new run of the capture through the output panel, left to finish.
    void runToTheEnd() {
        chooseCapture();
        dialogs_->answer(output_);
        model_->startNewRun();
        ASSERT_TRUE(model_->hasActiveOperation());
        waitForTheOperation();
    }

    fs::path workspace() const { return output_ / "Tessaron_workspace"; }
    fs::path partitions() const { return workspace() / "partitions"; }
    std::vector<std::string> trainableIds() const {
        std::vector<std::string> ids;
        for (const auto& cell : partition::PartitionPlan::load(partitions() / "partition_plan.json").trainableCells())
            ids.push_back(cell.id);
        return ids;
    }
    std::vector<std::string> exportLines() const {
        std::vector<std::string> lines;
        for (const QString& line : model_->exportLog().split('\n')) lines.push_back(line.toStdString());
        return lines;
    }

    // The capture's pictures are not real: the engine writes its seeds
    // untrained, which is all a merge needs.
    ScopedEnvironment seedsOnly_{{"TESSARON_TEST_ENGINE_SEED_ONLY", "1"}};
    TempDir folder_{"viewmodel-partitioned"};
    fs::path capture_ = folder_.path() / "capture";
    fs::path output_ = folder_.path() / "output";
    std::shared_ptr<ScriptedDialogs> dialogs_ = std::make_shared<ScriptedDialogs>();
    std::unique_ptr<PipelineViewModel> model_;
    std::vector<Kind> states_;
    QTimer approver_;
};

TEST_F(PartitionedRun, ANewRunGoesThroughTheStatesInOrderAndCompletes) {
    runToTheEnd();

    EXPECT_EQ(states_, (std::vector<Kind>{Kind::processingSfM, Kind::preparingData, Kind::awaitingPartitionApproval,
                                          Kind::materializingCells, Kind::training, Kind::exporting,
                                          Kind::completed}));
    EXPECT_EQ(model_->currentState(), Kind::completed) << model_->currentState().message;
    EXPECT_EQ(model_->outputPlyPath(), QString::fromStdString((workspace() / "output.ply").string()));
    EXPECT_GT(engines::PLYCheck::validate(workspace() / "output.ply").vertexCount, 0);
    ASSERT_NE(model_->partitionPlan(), nullptr);
    const std::vector<std::string> ids = trainableIds();
    EXPECT_EQ(ids.size(), 4u);
    EXPECT_EQ(model_->totalCells(), static_cast<qint64>(ids.size()));
    EXPECT_EQ(model_->completedCellDurations().size(), ids.size());
    EXPECT_FALSE(model_->isBusy());
    EXPECT_EQ(savedReport().outcome, RunReport::Outcome::completed);
    EXPECT_EQ(savedReport().kind, "New run");
}

// A cell is missing either its trained model or its whole folder.
enum class Missing { trainedModel, cellFolder };

void PrintTo(Missing missing, std::ostream* out) { *out << (missing == Missing::trainedModel ? "trained model" : "cell folder"); }

class ResumeOfOneMissingCell : public PartitionedRun, public ::testing::WithParamInterface<Missing> {};

TEST_P(ResumeOfOneMissingCell, TrainsOnlyThatCellAndMergesAllFour) {
    runToTheEnd();
    ASSERT_EQ(model_->currentState(), Kind::completed) << model_->currentState().message;
    const std::vector<std::string> ids = trainableIds();
    ASSERT_EQ(ids.size(), 4u);
    const std::string missing = ids[2];
    if (GetParam() == Missing::trainedModel)
        fs::remove(partitions() / missing / "output.ply");
    else
        fs::remove_all(partitions() / missing);
    fs::remove(workspace() / "output.ply");
    std::map<std::string, fs::file_time_type> kept;
    for (const std::string& id : ids)
        if (id != missing) kept[id] = fs::last_write_time(partitions() / id / "output.ply");

    states_.clear();
    dialogs_->answer(workspace());
    model_->selectResumeWorkspace();
    ASSERT_TRUE(model_->workspaceScanResult());
    EXPECT_EQ(model_->workspaceScanResult()->completedCells().size(), 3u);
    model_->resumeTraining();
    ASSERT_TRUE(model_->hasActiveOperation());
    waitForTheOperation();

    EXPECT_EQ(model_->currentState(), Kind::completed) << model_->currentState().message;
    EXPECT_EQ(states_.back(), Kind::completed);
    EXPECT_TRUE(std::find(states_.begin(), states_.end(), Kind::exporting) != states_.end());
    EXPECT_TRUE(model_->trainingLog().contains(QString::fromStdString("Cells to train: " + missing + "\n")))
        << model_->trainingLog().toStdString();
    EXPECT_TRUE(model_->trainingLog().contains(QString::fromStdString("═══ Training Cell 1/1: " + missing + " ═══")));
    EXPECT_FALSE(model_->trainingLog().contains(QStringLiteral("Training Cell 2/")));
    for (const auto& [id, written] : kept) EXPECT_EQ(fs::last_write_time(partitions() / id / "output.ply"), written) << id;
    EXPECT_GT(engines::PLYCheck::validate(partitions() / missing / "output.ply").vertexCount, 0);

    // Every cell took part in the merge.
    const std::vector<std::string> lines = exportLines();
    const auto mergedCells = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.starts_with("Cell ") && line.find(" kept (") != std::string::npos;
    });
    EXPECT_EQ(mergedCells, 4) << model_->exportLog().toStdString();
    EXPECT_EQ(engines::PLYCheck::validate(workspace() / "output.ply").vertexCount, keptInMergeLog(lines));
    EXPECT_EQ(model_->outputPlyPath(), QString::fromStdString((workspace() / "output.ply").string()));
    EXPECT_EQ(savedReport().kind, "Resume");
    EXPECT_EQ(savedReport().outcome, RunReport::Outcome::completed);
}

INSTANTIATE_TEST_SUITE_P(Cells, ResumeOfOneMissingCell, ::testing::Values(Missing::trainedModel, Missing::cellFolder),
                         [](const auto& info) {
                             return info.param == Missing::trainedModel ? "TrainedModel" : "CellFolder";
                         });

}  // namespace
}  // namespace tessaron::testing
