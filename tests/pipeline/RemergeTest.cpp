#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include <sys/wait.h>
#include <unistd.h>

#include "PartitionedRunSupport.hpp"
#include "PipelineTestSupport.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "engines/PLYCheck.hpp"
#include "partition/SeamlessMerger.hpp"
#include "pipeline/PipelineManager.hpp"
#include "generators/SyntheticCells.hpp"
#include "generators/SyntheticModel.hpp"
#include "support/TempDir.hpp"

using namespace tessaron;
using pipeline::PipelineLogStep;
using pipeline::PipelineManager;
using pipeline::PipelineState;
using tessaron::testing::changeCallbacks;
using tessaron::testing::RunRecorder;
using tessaron::testing::TempDir;
using tessaron::testing::testConfiguration;
namespace fs = std::filesystem;
namespace support = tessaron::testing;

namespace {

constexpr PipelineLogStep exportStep = PipelineLogStep::export_;

// A finished partitioned workspace: trained cells whose merge result is
// known, the saved plan, and a global model folder.
struct TrainedWorkspace {
    TempDir folder;
    fs::path workspace = folder / "workspace";
    tessaron::generators::SyntheticCells cells;

    explicit TrainedWorkspace(tessaron::generators::SyntheticCellsOptions options = {}) {
        cells = tessaron::generators::writeSyntheticCells(partitions(), options);
        savePlan();
        fs::create_directories(workspace / "colmap" / "sparse" / "0");
    }
    fs::path partitions() const { return workspace / "partitions"; }
    fs::path output() const { return workspace / "output.ply"; }
    void savePlan() const { cells.plan.save(partitions() / "partition_plan.json"); }
    size_t expectedGaussians() const { return cells.expectedOrder().size(); }
};

struct Remerge {
    std::shared_ptr<PipelineManager> manager;
    RunRecorder recorder;

    explicit Remerge(const TrainedWorkspace& trained) {
        manager = PipelineManager::create({}, testConfiguration(trained.folder / "support"));
        recorder.attach(*manager);
    }
    void run(const TrainedWorkspace& trained) { manager->remergeExistingCells({.workspaceURL = trained.workspace}); }
};

std::string incompleteMessage(const std::string& names, size_t count) {
    return "The model is incomplete: " + std::to_string(count) + " region(s) failed or are missing (" + names +
           "). output.ply has only the other regions — see the log for the cause.";
}

}  // namespace

// Both ownership rules: the plan's centroids choose pure Voronoi, their
// absence midpoint ownership; either way every Gaussian is kept once.
class RemergeOwnership : public ::testing::TestWithParam<bool> {};

TEST_P(RemergeOwnership, AllCellsPresentRewriteOutputAndComplete) {
    tessaron::generators::SyntheticCellsOptions options;
    options.columns = 2;
    options.rows = 2;
    options.centroids = GetParam();
    TrainedWorkspace trained(options);
    support::writeTextFile(trained.output(), "an older merge");
    Remerge remerge(trained);
    remerge.run(trained);

    EXPECT_EQ(remerge.recorder.states(),
              (std::vector<PipelineState>{PipelineState::Kind::exporting, PipelineState::Kind::completed}));
    EXPECT_EQ(engines::PLYCheck::validate(trained.output()).vertexCount, int64_t(trained.expectedGaussians()));
    EXPECT_EQ(support::keptInMergeLog(remerge.recorder.texts()), int64_t(trained.expectedGaussians()));
    EXPECT_EQ(remerge.recorder.outputs(), std::vector<std::string>{trained.output().string()});

    const std::vector<std::string> texts = remerge.recorder.texts();
    // The plan's centroids choose the ownership rule of this merge.
    EXPECT_EQ(std::any_of(texts.begin(), texts.end(),
                          [](const std::string& text) { return text.find("spatial=pure-voronoi") != std::string::npos; }),
              GetParam());
    ASSERT_GE(texts.size(), 5u);
    EXPECT_EQ(texts[0], "═══ Re-merge existing cells ═══");
    EXPECT_EQ(texts[1], "Workspace: " + trained.workspace.string());
    EXPECT_EQ(texts[2], "Downscale: 2x, capMax: 1000000");
    EXPECT_EQ(texts[3], "✓ Loaded saved partition plan (4 trainable cells)");
    EXPECT_EQ(texts[4], "Found 4 cell PLYs — merging…");
    EXPECT_EQ(texts.back(), "✓ Re-merged PLY written to: " + trained.output().string());
    for (const auto& entry : remerge.recorder.log()) EXPECT_EQ(entry.step, exportStep) << entry.text;

    // The operation's own run log in the workspace holds the same lines.
    ASSERT_EQ(remerge.recorder.logFiles().size(), 1u);
    const std::string logText = support::readTextFile(remerge.recorder.logFiles()[0]);
    EXPECT_NE(logText.find("[EXPORT] ═══ Re-merge existing cells ═══\n"), std::string::npos);
    EXPECT_NE(logText.find("[EXPORT] Exported seamlessly merged PLY: " + std::to_string(trained.expectedGaussians()) +
                           " total Gaussians.\n"),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(CentroidsOrBounds, RemergeOwnership, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Voronoi" : "Midpoint"; });

TEST(Remerge, CellWithOnlyAPartialOutputIsMissingAndTheOthersArePublished) {
    tessaron::generators::SyntheticCellsOptions options;
    options.columns = 3;
    TrainedWorkspace trained(options);
    fs::rename(trained.partitions() / "cell_1" / "output.ply", trained.partitions() / "cell_1" / "output.partial.ply");
    Remerge remerge(trained);
    remerge.run(trained);

    EXPECT_TRUE(remerge.recorder.loggedAs(exportStep, "⚠ 1 cell PLYs missing (expected but not found on disk): cell_1"));
    EXPECT_TRUE(remerge.recorder.loggedAs(exportStep, "Found 2 cell PLYs — merging…"));
    EXPECT_EQ(remerge.recorder.outputs(), std::vector<std::string>{trained.output().string()});
    const std::string message = incompleteMessage("cell_1", 1);
    EXPECT_EQ(remerge.recorder.states().back(), PipelineState::error(message));
    EXPECT_EQ(remerge.recorder.texts().back(), "⚠ " + message);
    // The neighbours own what they trained of the missing cell's area.
    const int64_t kept = support::keptInMergeLog(remerge.recorder.texts());
    EXPECT_EQ(engines::PLYCheck::validate(trained.output()).vertexCount, kept);
    EXPECT_LT(kept, int64_t(trained.expectedGaussians()));
}

TEST(Remerge, LostPartsAreNamedEvenWhenEveryCellIsPresent) {
    TrainedWorkspace trained;
    trained.cells.plan.lostCellIds = std::vector<std::string>{"cell_7", "cell_9"};
    trained.savePlan();
    Remerge remerge(trained);
    remerge.run(trained);

    EXPECT_EQ(remerge.recorder.outputs().size(), 1u);
    EXPECT_EQ(remerge.recorder.states().back(),
              PipelineState::error(incompleteMessage("cell_7 (part), cell_9 (part)", 2)));
}

TEST(Remerge, CellWithoutCamerasCannotBeNormalisedAndCountsAsMissing) {
    tessaron::generators::SyntheticCellsOptions options;
    options.columns = 2;
    TrainedWorkspace trained(options);
    const fs::path model = trained.partitions() / "cell_0" / "sparse" / "0";
    fs::remove(model / "images.bin");
    Remerge remerge(trained);
    remerge.run(trained);

    EXPECT_TRUE(remerge.recorder.loggedAs(exportStep, "⚠ Cell cell_0: could not compute transform from " + model.string()));
    EXPECT_TRUE(remerge.recorder.loggedAs(exportStep, "⚠ 1 cell PLYs missing (expected but not found on disk): cell_0"));
    EXPECT_EQ(remerge.recorder.states().back(), PipelineState::error(incompleteMessage("cell_0", 1)));
}

TEST(Remerge, CellIdsThatCannotNameACellFolderAreReportedAndNotUsed) {
    tessaron::generators::SyntheticCellsOptions options;
    options.columns = 2;
    TrainedWorkspace trained(options);
    trained.cells.plan.cells[1].id = "cell_1_extra";
    trained.savePlan();
    Remerge remerge(trained);
    remerge.run(trained);

    EXPECT_TRUE(remerge.recorder.loggedAs(
        exportStep, "⚠ Cell id \"cell_1_extra\" in partition_plan.json is not a cell folder name — not used."));
    EXPECT_TRUE(remerge.recorder.loggedAs(exportStep, "✓ Loaded saved partition plan (1 trainable cells)"));
    EXPECT_EQ(remerge.recorder.states().back(), PipelineState::Kind::completed);
}

TEST(Remerge, CancelDuringTheMergeWritesTheFileButPublishesNothing) {
    TrainedWorkspace trained;
    Remerge remerge(trained);
    // The operation clears an earlier cancel at its start; this one comes
    // while it runs, on its own thread.
    changeCallbacks(*remerge.manager, [manager = remerge.manager.get()](PipelineManager::Callbacks& callbacks) {
        callbacks.onStateChange = [manager, recorded = callbacks.onStateChange](const PipelineState& state) {
            recorded(state);
            if (state == PipelineState::Kind::exporting) manager->cancel();
        };
    });
    remerge.manager->cancel();
    remerge.run(trained);

    EXPECT_TRUE(fs::exists(trained.output()));
    EXPECT_EQ(remerge.recorder.texts().back(), "Pipeline cancelled.");
    EXPECT_TRUE(remerge.recorder.outputs().empty());
}

TEST(Remerge, WorkspaceProblemsEndInTheirErrors) {
    {
        TrainedWorkspace trained;
        fs::remove_all(trained.workspace / "colmap");
        Remerge remerge(trained);
        remerge.run(trained);
        const std::string message = "No COLMAP data at " + (trained.workspace / "colmap" / "sparse" / "0").string();
        EXPECT_EQ(remerge.recorder.states(),
                  (std::vector<PipelineState>{PipelineState::Kind::exporting, PipelineState::error(message)}));
        EXPECT_EQ(remerge.recorder.texts().back(), "⚠ " + message);
    }
    {
        TrainedWorkspace trained;
        fs::remove_all(trained.partitions());
        Remerge remerge(trained);
        remerge.run(trained);
        EXPECT_EQ(remerge.recorder.states().back(),
                  PipelineState::error("No partitions/ directory — nothing to re-merge."));
    }
    {
        TrainedWorkspace trained;
        for (const char* cell : {"cell_0", "cell_1"}) fs::remove(trained.partitions() / cell / "output.ply");
        Remerge remerge(trained);
        remerge.run(trained);
        EXPECT_EQ(remerge.recorder.states().back(),
                  PipelineState::error("No cell PLYs found to merge under " + trained.partitions().string() + "."));
        EXPECT_TRUE(remerge.recorder.outputs().empty());
    }
    {
        // A cell PLY cut short: the merge refuses it and the old output stays.
        TrainedWorkspace trained;
        support::writeTextFile(trained.output(), "an older merge");
        fs::resize_file(trained.partitions() / "cell_1" / "output.ply",
                        fs::file_size(trained.partitions() / "cell_1" / "output.ply") - 1);
        Remerge remerge(trained);
        remerge.run(trained);
        ASSERT_TRUE(remerge.recorder.states().back().isError());
        EXPECT_TRUE(remerge.recorder.states().back().message.starts_with("Merge failed: "));
        EXPECT_EQ(support::readTextFile(trained.output()), "an older merge");
    }
}

TEST(Remerge, WithoutAPlanFileThePlanIsRecomputedFromTheGlobalModel) {
    TrainedWorkspace trained;
    fs::remove(trained.partitions() / "partition_plan.json");
    tessaron::generators::SyntheticModelOptions options;
    options.imageCount = 60;
    options.pointCount = 1500;
    colmap::COLMAPUtils::writeModel(tessaron::generators::makeSyntheticModel(options), trained.workspace / "colmap" / "sparse" / "0");
    Remerge remerge(trained);
    remerge.run(trained);

    const std::vector<std::string> texts = remerge.recorder.texts();
    ASSERT_GE(texts.size(), 4u);
    EXPECT_EQ(texts[3], "⚠ No saved plan — recomputing from COLMAP data");
    // The recomputed plan is not saved.
    EXPECT_FALSE(fs::exists(trained.partitions() / "partition_plan.json"));
    // The planner's lines come under the export step, planned at the given
    // downscale; its one cell shares its name with a trained cell, whose
    // PLY is merged.
    EXPECT_TRUE(remerge.recorder.loggedAs(exportStep, "Image resolution: 1600×1200 → 800×600 at 2× downscale"));
    EXPECT_TRUE(remerge.recorder.loggedAs(exportStep, "Found 1 cell PLYs — merging…"));
    EXPECT_EQ(remerge.recorder.outputs().size(), 1u);
}

TEST(RemergeTool, MergesAWorkspaceFromTheShell) {
    ASSERT_TRUE(fs::exists(TESSARON_TOOL_PATH)) << "build tessaron-tool first";
    TrainedWorkspace trained;
    auto [status, lines] = support::runTool({"pipeline", "remerge", trained.workspace.string(), "--downscale", "4",
                                             "--support", (trained.folder / "support").string()});
    EXPECT_EQ(status, 0);
    EXPECT_THAT(lines, ::testing::Contains("[EXPORT] Downscale: 4x, capMax: 1000000"));
    EXPECT_THAT(lines, ::testing::Contains("output: " + trained.output().string()));
    EXPECT_EQ(lines.back(), "state: completed");
    EXPECT_EQ(engines::PLYCheck::validate(trained.output()).vertexCount, int64_t(trained.expectedGaussians()));

    fs::remove_all(trained.partitions());
    auto [failedStatus, failedLines] = support::runTool({"pipeline", "remerge", trained.workspace.string(), "--support",
                                                         (trained.folder / "support").string()});
    EXPECT_EQ(failedStatus, 1);
    EXPECT_EQ(failedLines.back(), "state: error(No partitions/ directory — nothing to re-merge.)");
}

// The workspace's own names: output.ply planted as a link to a file
// elsewhere is replaced, and that file keeps its bytes and its mode; a cell
// folder linked to elsewhere is refused by name and counted missing; what a
// killed engine left in a cell folder is removed.
TEST(Remerge, LinksOutOfTheWorkspaceAreNeverFollowedAndKilledEnginesLeaveNothing) {
    tessaron::generators::SyntheticCellsOptions options;
    options.columns = 3;
    TrainedWorkspace trained(options);
    TempDir elsewhere{"elsewhere"};
    support::writeTextFile(elsewhere / "private.ply", "the user's own file");
    fs::permissions(elsewhere / "private.ply", fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink(elsewhere / "private.ply", trained.output());
    fs::rename(trained.partitions() / "cell_2", elsewhere / "cell_2");
    fs::create_symlink(elsewhere / "cell_2", trained.partitions() / "cell_2");
    const pid_t ended = ::fork();
    if (ended == 0) ::_exit(0);
    ::waitpid(ended, nullptr, 0);
    const fs::path stale = trained.partitions() / "cell_1" / (".output.partial.ply." + std::to_string(ended) + ".tmp");
    support::writeTextFile(stale, "half a model");

    Remerge remerge(trained);
    remerge.run(trained);

    EXPECT_TRUE(remerge.recorder.loggedAs(exportStep, "⚠ Cell folder cell_2 resolves outside the workspace (" +
                                                          fs::canonical(elsewhere / "cell_2").string() + ") — refused."));
    EXPECT_TRUE(remerge.recorder.loggedAs(exportStep, "⚠ 1 cell PLYs missing (expected but not found on disk): cell_2"));
    EXPECT_EQ(remerge.recorder.states().back(), PipelineState::error(incompleteMessage("cell_2", 1)));
    EXPECT_FALSE(fs::is_symlink(trained.output()));
    EXPECT_EQ(engines::PLYCheck::validate(trained.output()).vertexCount, support::keptInMergeLog(remerge.recorder.texts()));
    EXPECT_EQ(support::readTextFile(elsewhere / "private.ply"), "the user's own file");
    EXPECT_EQ(fs::status(elsewhere / "private.ply").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_FALSE(fs::exists(stale));
}

// A merge killed while it wrote leaves its temporary beside output.ply (a
// plan save its own in partitions/): the next re-merge removes them, and a
// temporary whose writer still runs stays.
TEST(Remerge, TemporariesOfAKilledMergeAreRemovedAndThoseOfALiveWriterKept) {
    TrainedWorkspace trained;
    const pid_t ended = ::fork();
    if (ended == 0) ::_exit(0);
    ASSERT_EQ(::waitpid(ended, nullptr, 0), ended);
    const std::string ofEnded = std::to_string(ended) + "-0123abcd";
    const fs::path staleMerge = trained.workspace / (".output.ply.tmp-" + ofEnded);
    const fs::path stalePlan = trained.partitions() / (".partition_plan.json.tmp-" + ofEnded);
    const fs::path live = trained.workspace / (".output.ply.tmp-" + std::to_string(::getpid()) + "-89abcdef");
    // A cell's model cut short by a killed re-cut.
    const fs::path staleModel = trained.partitions() / trained.cells.plan.trainableCells().front().id / "sparse" / "0" /
                                (".images.bin.tmp-" + ofEnded);
    support::writeTextFile(staleMerge, "half a merge");
    support::writeTextFile(stalePlan, "half a plan");
    support::writeTextFile(staleModel, "half a model");
    support::writeTextFile(live, "being merged");

    Remerge remerge(trained);
    remerge.run(trained);

    EXPECT_EQ(remerge.recorder.states().back(), PipelineState::Kind::completed);
    EXPECT_FALSE(fs::exists(staleMerge));
    EXPECT_FALSE(fs::exists(stalePlan));
    EXPECT_FALSE(fs::exists(staleModel));
    EXPECT_EQ(support::readTextFile(live), "being merged");
}
