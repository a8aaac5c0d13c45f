#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "PipelineTestSupport.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "core/FileError.hpp"
#include "engines/PLYCheck.hpp"
#include "engines/TrevikRunner.hpp"
#include "partition/VastGaussianPartitioner.hpp"
#include "pipeline/OutOfMemoryRule.hpp"
#include "pipeline/PipelineManager.hpp"
#include "generators/SyntheticModel.hpp"
#include "support/TempDir.hpp"

using namespace tessaron;
using engines::PLYCheck;
using engines::TrevikRunner;
using partition::PartitionPlan;
using pipeline::OutOfMemoryRule;
using pipeline::PendingCell;
using pipeline::PipelineLogStep;
using pipeline::PipelineManager;
using tessaron::testing::RunRecorder;
using tessaron::testing::TempDir;
using tessaron::testing::testConfiguration;
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
        colmap::COLMAPUtils::writeModel(tessaron::generators::makeSyntheticModel(options), modelFolder);
        plan = partition::VastGaussianPartitioner::createPlan(modelFolder, 1, 7000, 1000000, 3.0, 0);
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

struct Retry {
    std::shared_ptr<PipelineManager> manager;
    RunRecorder recorder;
    std::vector<std::string> failed;

    explicit Retry(const TempDir& folder) {
        manager = PipelineManager::create({}, testConfiguration(folder / "support"));
        recorder.attach(*manager);
    }
    std::vector<PendingCell> run(const PendingCell& cell, const std::exception_ptr& error,
                                 const std::vector<std::string>& lines, const fs::path& modelFolder,
                                 const fs::path& partitions, PartitionPlan& plan) {
        return tessaron::testing::ManagerAccess::retryCellAfterOutOfMemory(*manager, cell, error, lines, modelFolder,
                                                                           partitions, plan, failed);
    }
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
    EXPECT_EQ(retry.recorder.texts(), std::vector<std::string>{expected});
    EXPECT_TRUE(retry.recorder.loggedAs(PipelineLogStep::training, expected));
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
    EXPECT_EQ(retry.recorder.texts().front(), parent.cellId + " ran out of memory — retrying as 4 smaller cells…");
    EXPECT_EQ(retry.recorder.texts().back(),
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
    EXPECT_TRUE(retry.recorder.logged("⚠ Only " + std::to_string(subCells.size()) + " of 4 quadrants of " +
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
    EXPECT_EQ(retry.recorder.texts().back(),
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
        const std::string last = retry.recorder.texts().back();
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
        const std::string last = retry.recorder.texts().back();
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
    retry.manager->cancel();
    EXPECT_TRUE(retry.run(scene.largestCell(), killedBy(9), {}, scene.modelFolder, scene.partitions, plan).empty());
    EXPECT_TRUE(retry.recorder.texts().empty());
    EXPECT_TRUE(retry.failed.empty());
    EXPECT_EQ(plan, scene.plan);
}
