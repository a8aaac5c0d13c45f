#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "PipelineTestSupport.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "core/FileError.hpp"
#include "engines/PLYCheck.hpp"
#include "engines/TrevikRunner.hpp"
#include "partition/VastGaussianPartitioner.hpp"
#include "pipeline/CellQueue.hpp"
#include "pipeline/OutOfMemoryRule.hpp"
#include "pipeline/CellTrainingRun.hpp"
#include "generators/SyntheticModel.hpp"
#include "support/TempDir.hpp"

using namespace tessaron;
using engines::PLYCheck;
using engines::TrevikRunner;
using partition::PartitionPlan;
using pipeline::CellQueue;
using pipeline::CellTrainingRun;
using pipeline::OutOfMemoryRule;
using pipeline::PendingCell;
using pipeline::PipelineLogStep;
using tessaron::testing::TempDir;
namespace fs = std::filesystem;
namespace support = tessaron::testing;

namespace {

// A planned town with its global model on disk: the cells of its plan are
// what a run would train.
struct PlannedScene {
    TempDir folder;
    fs::path modelFolder = folder / "colmap" / "sparse" / "0";
    fs::path partitions = folder / "partitions";
    PartitionPlan plan;

    PlannedScene() {
        tessaron::generators::SyntheticModelOptions options;
        options.layout = tessaron::generators::SyntheticModelOptions::Layout::grid;
        options.imageCount = 200;
        options.pointCount = 4000;
        options.imageWidth = 640;
        options.imageHeight = 480;
        colmap::COLMAPUtils::writeModel(generators::makeSyntheticModel(options), modelFolder);
        plan = partition::VastGaussianPartitioner::createPlan(modelFolder, {.ramLimitGB = 3.0});
        plan.save(partitions / "partition_plan.json");
    }

    // The plan cell with the most images, as a cell of the training queue.
    PendingCell largestCell(int64_t depth = 0, std::optional<int64_t> capMax = std::nullopt) const {
        auto cells = plan.trainableCells();
        const auto& cell = *std::max_element(cells.begin(), cells.end(),
                                             [](const auto& a, const auto& b) { return a.imageCount < b.imageCount; });
        return pending(cell, depth, capMax);
    }
    PendingCell smallestCell() const {
        auto cells = plan.trainableCells();
        const auto& cell = *std::min_element(cells.begin(), cells.end(),
                                             [](const auto& a, const auto& b) { return a.imageCount < b.imageCount; });
        return pending(cell, 0, std::nullopt);
    }
    PendingCell pending(const partition::PartitionCell& cell, int64_t depth, std::optional<int64_t> capMax) const {
        return PendingCell{cell.id,
                           partitions / cell.id / "sparse" / "0",
                           cell.coreBounds,
                           cell.expandedBounds,
                           depth,
                           capMax.value_or(cell.recommendedCapMax),
                           cell.recommendedIterations};
    }
};

// The out-of-memory retry of a cell queue whose log lines are kept.
struct Retry {
    std::vector<std::pair<PipelineLogStep, std::string>> entries;
    std::vector<std::string> failed;
    bool cancelled = false;
    CellQueue queue{{.trainCell = {},
                     .log = [this](PipelineLogStep step, const std::string& text) { entries.emplace_back(step, text); },
                     .isCancelRequested = [this] { return cancelled; },
                     .subdivide = {},
                     .availableMemoryGB = {}}};

    explicit Retry(const TempDir&) {}
    Retry(const Retry&) = delete;

    std::vector<PendingCell> run(const PendingCell& cell, const std::exception_ptr& error,
                                 const std::vector<std::string>& outputLines, const fs::path& modelFolder,
                                 const fs::path& partitions, PartitionPlan& plan) {
        CellTrainingRun run;
        run.plan = plan;
        run.modelFolder = modelFolder;
        run.partitionsFolder = partitions;
        run.failedCells = failed;
        std::vector<PendingCell> subCells = queue.retryAfterOutOfMemory(run, cell, error, outputLines);
        plan = run.plan;
        failed = run.failedCells;
        return subCells;
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> lines;
        for (const auto& [step, text] : entries) lines.push_back(text);
        return lines;
    }
    bool loggedAs(PipelineLogStep step, const std::string& text) const {
        return std::find(entries.begin(), entries.end(), std::pair{step, text}) != entries.end();
    }
    bool logged(const std::string& text) const { return loggedAs(PipelineLogStep::training, text); }
};

std::exception_ptr exitedWith(int32_t code) {
    return std::make_exception_ptr(TrevikRunner::TrevikError::trainingFailed(code, std::nullopt));
}
std::exception_ptr killedBy(int32_t signal) {
    return std::make_exception_ptr(TrevikRunner::TrevikError::trainingFailed(std::nullopt, signal));
}

std::vector<std::string> linesWith(size_t count, size_t at, const std::string& text) {
    std::vector<std::string> lines(count, "step=10 loss=n/a splats=1,000 1.0ms/step");
    lines[at] = text;
    return lines;
}

// One failure of a depth-3 cell: a memory failure gives up at the maximum
// subdivision, anything else is not retried. No partitioner is needed.
struct CauseCase {
    const char* name;
    std::exception_ptr error;
    std::vector<std::string> lines;
    bool memory;
};

void PrintTo(const CauseCase& cause, std::ostream* out) { *out << cause.name; }

}  // namespace

class OutOfMemoryCause : public ::testing::TestWithParam<CauseCase> {};

TEST_P(OutOfMemoryCause, DecidesBetweenGivingUpAndNotRetrying) {
    TempDir folder;
    Retry retry(folder);
    PartitionPlan plan;
    plan.cells.push_back({});
    plan.cells.back().id = "cell_4_s1_s0_s2";
    const PartitionPlan before = plan;
    const PendingCell cell{"cell_4_s1_s0_s2", folder / "missing", {}, {}, 3, 50000, 7000};

    EXPECT_TRUE(retry.run(cell, GetParam().error, GetParam().lines, folder / "missing", folder / "partitions", plan).empty());
    const std::string expected =
        GetParam().memory
            ? "⚠ cell_4_s1_s0_s2 ran out of memory at the maximum subdivision — giving up; that region will be missing."
            : "⚠ cell_4_s1_s0_s2 failed for a reason other than memory — not retrying; that region will be missing.";
    EXPECT_EQ(retry.texts(), std::vector<std::string>{expected});
    EXPECT_TRUE(retry.loggedAs(PipelineLogStep::training, expected));
    EXPECT_EQ(retry.failed, std::vector<std::string>{"cell_4_s1_s0_s2"});
    EXPECT_EQ(plan, before);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, OutOfMemoryCause,
    ::testing::Values(
        CauseCase{"PlainExit", exitedWith(1), {"error: something else"}, false},
        CauseCase{"KilledWithoutAWord", killedBy(9), {}, true},
        CauseCase{"TerminatedIsNotMemory", killedBy(15), {}, false},
        CauseCase{"FirstOf150LinesIsExamined", exitedWith(1), linesWith(150, 0, "OutOfMemory"), true},
        CauseCase{"Line10Of250IsNotExamined", exitedWith(1), linesWith(250, 9, "OutOfMemory"), false},
        CauseCase{"Line51Of250IsExamined", exitedWith(1), linesWith(250, 50, "OutOfMemory"), true},
        CauseCase{"CapitalsMatch", exitedWith(1), {"CUDA OUT OF MEMORY"}, true},
        CauseCase{"InsufficientMemory", exitedWith(1), {"metal: insufficient memory for buffer"}, true},
        CauseCase{"FailedToAllocate", exitedWith(1), {"Failed To Allocate 2 GB"}, true},
        CauseCase{"BadAlloc", exitedWith(1), {"terminate called: STD::BAD_ALLOC"}, true},
        CauseCase{"CheckFailureNeverCounts", std::make_exception_ptr(PLYCheck::Failure::sizeMismatch(100, 50)),
                  {"error: out of memory"}, false},
        CauseCase{"OldPartialCouldNotBeRemoved",
                  std::make_exception_ptr(core::FileError("remove", "/x/output.partial.ply",
                                                             std::make_error_code(std::errc::permission_denied))),
                  {}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OutOfMemoryRule, SubCellCaps) {
    EXPECT_EQ(OutOfMemoryRule::subCellCap(200000), 50000);
    EXPECT_EQ(OutOfMemoryRule::subCellCap(199999), 50000);
    EXPECT_EQ(OutOfMemoryRule::subCellCap(1000000), 250000);
    EXPECT_EQ(OutOfMemoryRule::subCellCap(1000003), 250000);
    // A small parent never hands its sub-cells more than it had.
    EXPECT_EQ(OutOfMemoryRule::subCellCap(30000), 30000);
    EXPECT_EQ(OutOfMemoryRule::subCellCap(50000), 50000);
}

TEST(OutOfMemorySubdivision, CellIsReplacedByItsQuadrantsInThePlanAndOnDisk) {
    PlannedScene scene;
    Retry retry(scene.folder);
    PartitionPlan plan = scene.plan;
    const PendingCell parent = scene.largestCell(2, 1000003);
    const auto subCells = retry.run(parent, killedBy(9), {}, scene.modelFolder, scene.partitions, plan);

    ASSERT_EQ(subCells.size(), 4u);
    for (size_t index = 0; index < subCells.size(); ++index) {
        const PendingCell& sub = subCells[index];
        EXPECT_EQ(sub.cellId, parent.cellId + "_s" + std::to_string(index));
        EXPECT_EQ(sub.url, scene.partitions / sub.cellId / "sparse" / "0");
        EXPECT_EQ(sub.depth, 3);
        EXPECT_EQ(sub.recommendedCapMax, 250000);
        EXPECT_EQ(sub.recommendedIterations, parent.recommendedIterations);
    }
    EXPECT_TRUE(retry.failed.empty());
    EXPECT_EQ(retry.texts().front(), parent.cellId + " ran out of memory — retrying as 4 smaller cells…");
    EXPECT_EQ(retry.texts().back(),
              "Enqueued 4 sub-quadrants of " + parent.cellId +
                  " at cap 250000 each. ℹ If a sub-quadrant's seeds exceed 75% of that cap, the engine subsamples "
                  "its seeds to half the cap (stderr line '[mcmc] init points').");

    // The parent left the plan; the sub-cells joined it at the end with what
    // their models hold.
    EXPECT_EQ(plan.cells.size(), scene.plan.cells.size() + 3);
    EXPECT_TRUE(std::none_of(plan.cells.begin(), plan.cells.end(), [&](const auto& c) { return c.id == parent.cellId; }));
    for (size_t index = 0; index < 4; ++index) {
        const partition::PartitionCell& planCell = plan.cells[plan.cells.size() - 4 + index];
        const auto model = colmap::COLMAPUtils::readModel(subCells[index].url);
        EXPECT_EQ(planCell.id, subCells[index].cellId);
        EXPECT_EQ(planCell.imageCount, int64_t(model.images.size()));
        EXPECT_EQ(planCell.pointCount, int64_t(model.points3D.size()));
        ASSERT_TRUE(planCell.cameraIds);
        EXPECT_TRUE(std::is_sorted(planCell.cameraIds->begin(), planCell.cameraIds->end()));
        EXPECT_EQ(planCell.cameraIds->size(), model.images.size());
        EXPECT_EQ(planCell.depth, 3);
        EXPECT_EQ(planCell.estimatedMemoryGB, 0);
        EXPECT_FALSE(planCell.expandedPointIds);
        EXPECT_EQ(planCell.coreBounds, subCells[index].coreBounds);
    }
    EXPECT_FALSE(plan.lostCellIds);
    EXPECT_EQ(PartitionPlan::load(scene.partitions / "partition_plan.json"), plan);
}

TEST(OutOfMemorySubdivision, QuadrantsWithTooFewPhotosLeaveAPartOfTheRegionMissing) {
    PlannedScene scene;
    Retry retry(scene.folder);
    PartitionPlan plan = scene.plan;
    const PendingCell parent = scene.smallestCell();
    const auto subCells = retry.run(parent, exitedWith(1), {"error: out of memory"}, scene.modelFolder,
                                    scene.partitions, plan);

    ASSERT_GE(subCells.size(), 1u);
    ASSERT_LT(subCells.size(), 4u);
    EXPECT_TRUE(retry.logged("⚠ Only " + std::to_string(subCells.size()) + " of 4 quadrants of " +
                                      parent.cellId + " have enough photos — part of that region will be missing."));
    EXPECT_EQ(plan.lostCellIds, std::vector<std::string>{parent.cellId});
    EXPECT_EQ(PartitionPlan::load(scene.partitions / "partition_plan.json").lostCellIds, plan.lostCellIds);
    // A small parent's cap is kept for its sub-cells up to 50,000.
    for (const PendingCell& sub : subCells) EXPECT_EQ(sub.recommendedCapMax, std::min<int64_t>(50000, parent.recommendedCapMax));
}

TEST(OutOfMemorySubdivision, ARigNeedsEightPhotosPerViewInAQuadrant) {
    PlannedScene scene;
    Retry retry(scene.folder);
    PartitionPlan plan = scene.plan;
    plan.viewsPerFrame = 100;  // 800 photos per quadrant: none has them
    const PartitionPlan before = plan;
    const PendingCell parent = scene.largestCell();
    EXPECT_TRUE(retry.run(parent, killedBy(9), {}, scene.modelFolder, scene.partitions, plan).empty());
    EXPECT_EQ(retry.texts().back(),
              "⚠ No quadrant of " + parent.cellId + " has enough photos to train — that region will be missing.");
    EXPECT_EQ(retry.failed, std::vector<std::string>{parent.cellId});
    EXPECT_EQ(plan, before);
}

TEST(OutOfMemorySubdivision, FailuresOfTheSplitLeaveThePlanAsItWas) {
    PlannedScene scene;
    const PendingCell parent = scene.largestCell();
    {
        Retry retry(scene.folder);
        PartitionPlan plan = scene.plan;
        const fs::path missingModel = scene.folder / "nowhere" / "sparse" / "0";
        EXPECT_TRUE(retry.run(parent, killedBy(9), {}, missingModel, scene.partitions, plan).empty());
        const std::string last = retry.texts().back();
        EXPECT_TRUE(last.starts_with("⚠ Could not subdivide " + parent.cellId + ": ")) << last;
        EXPECT_TRUE(last.ends_with(" — that region will be missing.")) << last;
        EXPECT_EQ(retry.failed, std::vector<std::string>{parent.cellId});
        EXPECT_EQ(plan, scene.plan);
    }
    {
        // The plan file cannot be replaced: a folder holds its name.
        Retry retry(scene.folder);
        PartitionPlan plan = scene.plan;
        const fs::path otherPartitions = scene.folder / "other-partitions";
        fs::create_directories(otherPartitions / "partition_plan.json" / "blocked");
        EXPECT_TRUE(retry.run(parent, killedBy(9), {}, scene.modelFolder, otherPartitions, plan).empty());
        const std::string last = retry.texts().back();
        EXPECT_TRUE(last.starts_with("⚠ Could not save the updated plan (")) << last;
        EXPECT_TRUE(last.ends_with(") — not retrying " + parent.cellId + "; that region will be missing.")) << last;
        EXPECT_EQ(retry.failed, std::vector<std::string>{parent.cellId});
        EXPECT_EQ(plan, scene.plan);
    }
}

TEST(OutOfMemorySubdivision, ACancelledRunRetriesNothingAndSaysNothing) {
    PlannedScene scene;
    Retry retry(scene.folder);
    PartitionPlan plan = scene.plan;
    retry.cancelled = true;
    EXPECT_TRUE(retry.run(scene.largestCell(), killedBy(9), {}, scene.modelFolder, scene.partitions, plan).empty());
    EXPECT_TRUE(retry.texts().empty());
    EXPECT_TRUE(retry.failed.empty());
    EXPECT_EQ(plan, scene.plan);
}

namespace {

// A cell queue over the planned scene whose engine is a list: the cells it
// trained, in order, and the ids it fails as out of memory.
struct QueueRun {
    PlannedScene scene;
    CellTrainingRun run;
    std::vector<std::string> trained;
    std::vector<std::string> lines;
    std::function<bool(const PendingCell&)> runsOutOfMemory = [](const PendingCell&) { return false; };
    bool cancelled = false;
    std::optional<std::string> cancelDuring;
    int64_t freeMemoryGB = 64;

    QueueRun() {
        run.plan = scene.plan;
        run.modelFolder = scene.modelFolder;
        run.partitionsFolder = scene.partitions;
    }

    CellQueue queue() {
        return CellQueue({.trainCell =
                              [this](CellTrainingRun&, const PendingCell& cell, size_t number) {
                                  trained.push_back(cell.cellId);
                                  EXPECT_EQ(number, trained.size());
                                  if (cancelDuring == cell.cellId) cancelled = true;
                                  pipeline::CellTrainingOutcome outcome;
                                  if (runsOutOfMemory(cell)) outcome.failure = killedBy(9);
                                  return outcome;
                              },
                          .log = [this](PipelineLogStep, const std::string& text) { lines.push_back(text); },
                          .isCancelRequested = [this] { return cancelled; },
                          .subdivide = {},
                          .availableMemoryGB = [this] { return freeMemoryGB; }});
    }
};

}  // namespace

TEST(CellQueue, SubCellsOfAnOutOfMemoryCellTrainAfterTheRestAndAreNotSplitBeyondTheLimit) {
    QueueRun queueRun;
    const PendingCell parent = queueRun.scene.largestCell(OutOfMemoryRule::maximumDepth - 1);
    const PendingCell other = queueRun.scene.smallestCell();
    ASSERT_NE(parent.cellId, other.cellId);
    queueRun.run.queue = {parent, other};
    // The cell and every one of its sub-cells run out of memory.
    queueRun.runsOutOfMemory = [&](const PendingCell& cell) {
        return cell.cellId == parent.cellId || cell.cellId.starts_with(parent.cellId + "_s");
    };

    EXPECT_TRUE(queueRun.queue().train(queueRun.run));

    std::vector<std::string> subIds;
    for (int index = 0; index < 4; ++index) subIds.push_back(parent.cellId + "_s" + std::to_string(index));
    std::vector<std::string> order = {parent.cellId, other.cellId};
    order.insert(order.end(), subIds.begin(), subIds.end());
    EXPECT_EQ(queueRun.trained, order);
    // At the deepest level a memory failure gives up: the sub-cells are lost.
    EXPECT_EQ(queueRun.run.failedCells, subIds);
    for (const std::string& id : subIds)
        EXPECT_NE(std::find(queueRun.lines.begin(), queueRun.lines.end(),
                            "⚠ " + id + " ran out of memory at the maximum subdivision — giving up; that region will be "
                                        "missing."),
                  queueRun.lines.end());
    EXPECT_EQ(queueRun.run.queue.size(), 6u);
    EXPECT_TRUE(std::none_of(queueRun.run.plan.cells.begin(), queueRun.run.plan.cells.end(),
                             [&](const auto& cell) { return cell.id == parent.cellId; }));
}

TEST(CellQueue, ACancelDuringACellEndsTheQueueWithoutARetryOrAWord) {
    QueueRun queueRun;
    const PendingCell first = queueRun.scene.largestCell();
    queueRun.run.queue = {first, queueRun.scene.smallestCell()};
    queueRun.runsOutOfMemory = [](const PendingCell&) { return true; };
    queueRun.cancelDuring = first.cellId;

    EXPECT_FALSE(queueRun.queue().train(queueRun.run));
    EXPECT_EQ(queueRun.trained, std::vector<std::string>{first.cellId});
    EXPECT_TRUE(queueRun.lines.empty());
    EXPECT_TRUE(queueRun.run.failedCells.empty());
    EXPECT_EQ(queueRun.run.plan, queueRun.scene.plan);
}

TEST(CellQueue, CriticallyLowMemoryIsReportedAfterEachCellOnlyWhenAskedFor) {
    QueueRun queueRun;
    queueRun.run.queue = {queueRun.scene.largestCell(), queueRun.scene.smallestCell()};
    queueRun.freeMemoryGB = 0;
    EXPECT_TRUE(queueRun.queue().train(queueRun.run));
    EXPECT_TRUE(queueRun.lines.empty());

    queueRun.run.warnOnLowMemory = true;
    queueRun.trained.clear();
    EXPECT_TRUE(queueRun.queue().train(queueRun.run));
    EXPECT_EQ(queueRun.lines, std::vector<std::string>(2, "⚠ System memory critically low (0 GB available)."));
}
