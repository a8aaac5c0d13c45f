// Partitioned runs of PipelineManager end to end: the synthetic town through
// the imported-model route, planned, approved from another thread, its cells
// trained one after another by the tests' engine (a child process) and
// merged into one output.ply.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "colmap/COLMAPUtils.hpp"

#include <algorithm>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "PartitionedRunSupport.hpp"
#include "PipelineTestSupport.hpp"
#include "core/NumberText.hpp"
#include "engines/MemoryEstimate.hpp"
#include "engines/PLYCheck.hpp"
#include "partition/PartitionPlan.hpp"
#include "pipeline/PipelineManager.hpp"
#include "support/TempDir.hpp"

using namespace tessaron;
using partition::PartitionPlan;
using pipeline::PipelineLogStep;
using pipeline::PipelineManager;
using pipeline::PipelineState;
using ApprovalOutcome = pipeline::PipelineManager::ApprovalOutcome;
using Kind = pipeline::PipelineState::Kind;
using tessaron::testing::changeCallbacks;
using tessaron::testing::kinds;
using tessaron::testing::PartitionedCapture;
using tessaron::testing::PlanAnswerer;
using tessaron::testing::RunRecorder;
using tessaron::testing::ScopedEnvironment;
using tessaron::testing::TempDir;
using tessaron::testing::testConfiguration;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;
namespace support = tessaron::testing;

namespace {

constexpr PipelineLogStep prep = PipelineLogStep::dataPrep;
constexpr PipelineLogStep train = PipelineLogStep::training;
constexpr PipelineLogStep exportStep = PipelineLogStep::export_;

std::string banner(size_t number, size_t total, const std::string& id) {
    return "═══ Training Cell " + std::to_string(number) + "/" + std::to_string(total) + ": " + id + " ═══";
}

class PartitionedRun : public ::testing::Test {
protected:
    void SetUp() override {
        PartitionedCapture::write(capture_);
        manager_ = PipelineManager::create({}, testConfiguration(folder_ / "support"));
        recorder_.attach(*manager_);
        changeCallbacks(*manager_, [this](PipelineManager::Callbacks& callbacks) {
            callbacks.onPartitionPlanReady = [this](const PartitionPlan& plan) { shownPlan_ = plan; };
        });
        parameters_ = PartitionedCapture::runParameters(capture_, workspace_);
    }

    // Runs with the plan approved (or declined) from another thread.
    void run(ApprovalOutcome answer = ApprovalOutcome::approved) {
        PlanAnswerer answerer(*manager_, answer);
        manager_->runPipeline(parameters_);
    }

    fs::path partitions() const { return workspace_ / "partitions"; }
    fs::path output() const { return workspace_ / "output.ply"; }
    PartitionPlan savedPlan() const { return PartitionPlan::load(partitions() / "partition_plan.json"); }
    std::vector<std::string> trainableIds(const PartitionPlan& plan) const {
        std::vector<std::string> ids;
        for (const auto& cell : plan.trainableCells()) ids.push_back(cell.id);
        return ids;
    }
    std::vector<std::string> banners() const {
        std::vector<std::string> found;
        for (const std::string& text : recorder_.texts())
            if (text.starts_with("═══ Training Cell ")) found.push_back(text);
        return found;
    }

    TempDir folder_{"partitioned-run"};
    fs::path capture_ = folder_ / "capture";
    fs::path workspace_ = folder_ / "Tessaron_workspace";
    std::shared_ptr<PipelineManager> manager_;
    RunRecorder recorder_;
    PipelineManager::RunParameters parameters_;
    std::optional<PartitionPlan> shownPlan_;
};

}  // namespace

TEST_F(PartitionedRun, ApprovedPlanTrainsEveryCellAndMergesThem) {
    run();

    EXPECT_THAT(kinds(recorder_.states()),
                ElementsAre(Kind::processingSfM, Kind::preparingData, Kind::awaitingPartitionApproval,
                            Kind::materializingCells, Kind::training, Kind::exporting, Kind::completed));
    ASSERT_TRUE(shownPlan_);
    EXPECT_EQ(savedPlan(), *shownPlan_);
    const std::vector<std::string> ids = trainableIds(*shownPlan_);
    ASSERT_GE(ids.size(), 3u);

    EXPECT_TRUE(recorder_.loggedAs(prep, "═══ VastGaussian Mode: Computing partition plan from scene data ═══"));
    EXPECT_TRUE(recorder_.loggedAs(prep, shownPlan_->printSummary()));
    EXPECT_TRUE(recorder_.loggedAs(prep, "Partition plan approved. Starting partitioning..."));
    EXPECT_TRUE(recorder_.loggedAs(prep, "Partition plan saved to partition_plan.json"));

    // Cell by cell in plan order, each with the plan's parameters, its own
    // images link and a checked PLY; no partial file is left.
    std::vector<std::string> expectedBanners;
    for (size_t index = 0; index < ids.size(); ++index) expectedBanners.push_back(banner(index + 1, ids.size(), ids[index]));
    EXPECT_EQ(banners(), expectedBanners);
    for (const auto& cell : shownPlan_->trainableCells()) {
        EXPECT_TRUE(recorder_.loggedAs(train, "  Parameters: cap_max=" + std::to_string(cell.recommendedCapMax) +
                                                  ", iterations=" + std::to_string(cell.recommendedIterations)));
        const fs::path folder = partitions() / cell.id;
        EXPECT_EQ(fs::read_symlink(folder / "images"), capture_ / "images");
        EXPECT_GT(engines::PLYCheck::validate(folder / "output.ply").vertexCount, 0);
        EXPECT_FALSE(fs::exists(folder / "output.partial.ply"));
        EXPECT_TRUE(recorder_.loggedAs(train, "✓ Cell " + cell.id + " training complete."));
        EXPECT_TRUE(recorder_.loggedAs(train, "Cell " + cell.id + " eval PSNR: 30.00 dB"));
    }
    const std::vector<std::string> cellEvents = recorder_.cellEvents();
    EXPECT_EQ(cellEvents.size(), 2 * ids.size());
    EXPECT_EQ(cellEvents.front(), "started 1/" + std::to_string(ids.size()) + " " +
                                      std::to_string(shownPlan_->trainableCells().front().recommendedIterations));

    // Several cells: no cull radius; evaluation: the early stop.
    for (const std::string& text : recorder_.texts())
        if (text.starts_with("Command: trevik ")) {
            EXPECT_THAT(text, Not(HasSubstr("--cull-radius")));
            EXPECT_THAT(text, HasSubstr("--eval --early-stop 0.05"));
        }

    // The merged model holds exactly what the merge reports it kept.
    EXPECT_TRUE(recorder_.loggedAs(exportStep, "═══ Seamless Merging " + std::to_string(ids.size()) + " cell PLYs ═══"));
    const int64_t merged = engines::PLYCheck::validate(output()).vertexCount;
    EXPECT_EQ(merged, support::keptInMergeLog(recorder_.texts()));
    // Each cell's Gaussians come back into the scene frame where they were
    // seeded, so ownership keeps every SfM point at most once: overlapping
    // cells must not double it.
    const auto capturePoints = colmap::COLMAPUtils::readPoints3D(capture_ / "sparse" / "0" / "points3D.bin").size();
    EXPECT_GT(merged, int64_t(capturePoints) / 2);
    EXPECT_LE(merged, int64_t(capturePoints));
    EXPECT_TRUE(recorder_.loggedAs(exportStep, "Exported seamlessly merged PLY: " + std::to_string(merged) +
                                                   " total Gaussians."));
    EXPECT_TRUE(recorder_.loggedAs(exportStep, "✓ Merged PLY exported to: " + output().string()));
    EXPECT_EQ(recorder_.outputs(), std::vector<std::string>{output().string()});
    EXPECT_EQ(recorder_.texts().back(), "═══ Pipeline complete! ═══");
}

TEST_F(PartitionedRun, DecliningThePlanEndsTheRunWithoutAnError) {
    run(ApprovalOutcome::cancelled);

    EXPECT_EQ(kinds(recorder_.states()),
              (std::vector<Kind>{Kind::processingSfM, Kind::preparingData, Kind::awaitingPartitionApproval}));
    EXPECT_EQ(recorder_.texts().back(), "Pipeline cancelled at partition approval.");
    EXPECT_TRUE(recorder_.loggedAs(prep, "Pipeline cancelled at partition approval."));
    EXPECT_FALSE(fs::exists(partitions() / "partition_plan.json"));
    EXPECT_TRUE(recorder_.outputs().empty());
}

TEST_F(PartitionedRun, CancelDuringTheApprovalWaitEndsItAsDeclined) {
    std::promise<void> waiting;
    changeCallbacks(*manager_, [&](PipelineManager::Callbacks& callbacks) {
        callbacks.onPartitionPlanReady = [&, recorded = callbacks.onPartitionPlanReady](const PartitionPlan& plan) {
            recorded(plan);
            waiting.set_value();
        };
    });
    std::jthread canceller([&, ready = waiting.get_future()] {
        ready.wait();
        manager_->cancel();
    });
    manager_->runPipeline(parameters_);

    EXPECT_EQ(recorder_.texts().back(), "Pipeline cancelled at partition approval.");
    EXPECT_FALSE(recorder_.states().back().isError());
    EXPECT_FALSE(fs::exists(partitions()));
}

// A cancel while a cell trains ends the engine; the cell did not fail: no
// failure line, no retry, no error state, and the run ends as a cancel.
TEST_F(PartitionedRun, CancelWhileACellTrainsEndsAsACancel) {
    // An engine that reports one step and then trains until it is ended.
    const fs::path engine = tessaron::testing::writeScript(folder_ / "engine" / "trevik",
                                                           "echo 'step=1 loss=n/a splats=1 1.0ms/step'\nexec sleep 60");
    manager_ = PipelineManager::create({}, testConfiguration(folder_ / "support", std::nullopt, engine));
    recorder_.attach(*manager_);
    std::promise<void> training;
    std::once_flag once;
    changeCallbacks(*manager_, [&](PipelineManager::Callbacks& callbacks) {
        callbacks.onTrainingStats = [&](int64_t, int64_t, float) { std::call_once(once, [&] { training.set_value(); }); };
    });
    std::jthread running([&] { run(); });
    training.get_future().wait();
    manager_->cancel();
    running.join();

    EXPECT_EQ(kinds(recorder_.states()), (std::vector<Kind>{Kind::processingSfM, Kind::preparingData,
                                                            Kind::awaitingPartitionApproval, Kind::materializingCells,
                                                            Kind::training}));
    EXPECT_THAT(recorder_.texts(), Not(Contains(HasSubstr("training failed"))));
    EXPECT_THAT(recorder_.texts(), Not(Contains(HasSubstr("retrying"))));
    EXPECT_EQ(recorder_.log().back(), (RunRecorder::LogEntry{PipelineLogStep::training, "Pipeline cancelled."}));
    EXPECT_EQ(banners().size(), 1u);
    EXPECT_FALSE(fs::exists(output()));
}

// Overridden parameters: every cell gets the run's cap and iterations, and
// the even-split check judges the re-estimated cells, so a cap too large
// for the budget stops the run before it is shown.
TEST_F(PartitionedRun, OverriddenParametersAreJudgedByTheEvenSplitCheck) {
    parameters_.overrideVastGaussianParams = true;
    parameters_.capMax = 2000000;
    run();

    const PartitionPlan plan = PartitionedCapture::plan(capture_, parameters_.iterations, parameters_.capMax);
    double largest = 0;
    for (const auto& cell : plan.trainableCells())
        largest = std::max(largest, engines::MemoryEstimate::gigabytes(plan.imageWidth, plan.imageHeight,
                                                                       cell.imageCount, parameters_.capMax));
    ASSERT_GT(largest, plan.budgetGB);
    EXPECT_TRUE(recorder_.loggedAs(prep, "⚠ VastGaussian auto-parameters overridden: using cap=2000000, iters=30 "
                                         "for all cells"));
    const std::string message = "Even split into " + std::to_string(plan.trainableCells().size()) +
                                " parts, one part needs " + core::fixedText(largest, 1) + " GB of memory (limit " +
                                core::fixedText(plan.budgetGB, 1) +
                                " GB). Choose a smaller model size or a higher downscale.";
    EXPECT_EQ(recorder_.states().back(), PipelineState::error(message));
    EXPECT_EQ(recorder_.texts().back(), "⚠ " + message);
    EXPECT_FALSE(shownPlan_);
}

TEST_F(PartitionedRun, OverriddenParametersWithinTheBudgetTrainEveryCellAlike) {
    parameters_.overrideVastGaussianParams = true;
    parameters_.capMax = 40000;
    run();

    ASSERT_TRUE(shownPlan_);
    for (const auto& cell : shownPlan_->cells) {
        EXPECT_EQ(cell.recommendedCapMax, 40000);
        EXPECT_EQ(cell.recommendedIterations, 30);
    }
    for (const std::string& text : recorder_.texts())
        if (text.starts_with("  Parameters: ")) {
            EXPECT_EQ(text, "  Parameters: cap_max=40000, iterations=30");
        }
    EXPECT_EQ(recorder_.states().back(), Kind::completed);
}

TEST_F(PartitionedRun, OneTrainableCellTrainsWithACullRadiusOfZero) {
    parameters_.ramLimitGB = 64;
    run();

    ASSERT_TRUE(shownPlan_);
    ASSERT_EQ(shownPlan_->trainableCells().size(), 1u);
    const std::vector<std::string> texts = recorder_.texts();
    auto command = std::find_if(texts.begin(), texts.end(), [](const auto& text) { return text.starts_with("Command: trevik "); });
    ASSERT_NE(command, texts.end());
    EXPECT_THAT(*command, HasSubstr(" --cull-radius 0"));
    EXPECT_EQ(recorder_.states().back(), Kind::completed);
}

// A failure that is not the engine running out of memory is not retried:
// the other regions are merged and published, and the run ends as an
// incomplete model naming the cell.
TEST_F(PartitionedRun, FailedCellIsNotRetriedAndTheModelIsIncomplete) {
    const PartitionPlan plan = PartitionedCapture::plan(capture_, parameters_.iterations, parameters_.capMax);
    const std::vector<std::string> ids = trainableIds(plan);
    ASSERT_GE(ids.size(), 3u);
    ScopedEnvironment knobs({{"TESSARON_TEST_ENGINE_FAIL_DATASET", ids[1]},
                             {"TESSARON_TEST_ENGINE_PSNR", "14.99"},
                             {"TESSARON_TEST_ENGINE_SEED_PSNR", "15"}});
    run();

    EXPECT_TRUE(recorder_.loggedAs(train, "⚠ Cell " + ids[1] + " training failed: trevik training failed (exit 1)"));
    EXPECT_TRUE(recorder_.loggedAs(train, "⚠ " + ids[1] +
                                              " failed for a reason other than memory — not retrying; that region "
                                              "will be missing."));
    EXPECT_TRUE(recorder_.loggedAs(train, "⚠ Cells that failed (no retry possible): " + ids[1]));
    EXPECT_EQ(banners().size(), ids.size());
    // Low PSNR is only a warning.
    EXPECT_TRUE(recorder_.loggedAs(train, "Cell " + ids[0] + " eval PSNR: 14.99 dB"));
    EXPECT_TRUE(recorder_.loggedAs(train, "⚠ Cell " + ids[0] + " PSNR is very low (<15 dB). Quality may be poor."));
    // So is a cell that training left worse than its seeds; both warnings of
    // every trained cell reach onWarning.
    EXPECT_TRUE(recorder_.loggedAs(train, "⚠ Cell " + ids[0] +
                                              " PSNR fell below its untrained seeds' — training made it worse. "
                                              "Quality may be poor."));
    std::vector<std::string> warnings;
    for (const std::string& id : ids) {
        if (id == ids[1]) continue;
        warnings.push_back("Cell " + id + " PSNR is very low (<15 dB). Quality may be poor.");
        warnings.push_back("Cell " + id + " PSNR fell below its untrained seeds' — training made it worse. "
                           "Quality may be poor.");
    }
    EXPECT_THAT(recorder_.warnings(), ::testing::UnorderedElementsAreArray(warnings));

    EXPECT_TRUE(recorder_.loggedAs(exportStep, "═══ Seamless Merging " + std::to_string(ids.size() - 1) + " cell PLYs ═══"));
    EXPECT_EQ(recorder_.outputs(), std::vector<std::string>{output().string()});
    EXPECT_EQ(engines::PLYCheck::validate(output()).vertexCount, support::keptInMergeLog(recorder_.texts()));
    const std::string message = "The model is incomplete: 1 region(s) failed or are missing (" + ids[1] +
                                "). output.ply has only the other regions — see the log for the cause.";
    EXPECT_THAT(kinds(recorder_.states()), ElementsAre(Kind::processingSfM, Kind::preparingData,
                                                       Kind::awaitingPartitionApproval, Kind::materializingCells,
                                                       Kind::training, Kind::exporting, Kind::error));
    EXPECT_EQ(recorder_.states().back(), PipelineState::error(message));
    EXPECT_TRUE(recorder_.loggedAs(exportStep, "⚠ " + message));
}

// A PLY that fails its check is never taken for a memory failure: the cell
// keeps its partial file and its region is missing.
TEST_F(PartitionedRun, TruncatedCellOutputIsKeptAsPartialAndNotRetried) {
    const PartitionPlan plan = PartitionedCapture::plan(capture_, parameters_.iterations, parameters_.capMax);
    const std::string truncated = trainableIds(plan).back();
    ScopedEnvironment knobs({{"TESSARON_TEST_ENGINE_TRUNCATE_DATASET", truncated}});
    run();

    const fs::path folder = partitions() / truncated;
    EXPECT_TRUE(fs::exists(folder / "output.partial.ply"));
    EXPECT_FALSE(fs::exists(folder / "output.ply"));
    const std::vector<std::string> texts = recorder_.texts();
    EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [&](const std::string& text) {
        return text.starts_with("⚠ Cell " + truncated + " training failed: PLY is incomplete (");
    }));
    EXPECT_TRUE(recorder_.loggedAs(train, "⚠ " + truncated +
                                              " failed for a reason other than memory — not retrying; that region "
                                              "will be missing."));
    EXPECT_EQ(recorder_.states().back().message,
              "The model is incomplete: 1 region(s) failed or are missing (" + truncated +
                  "). output.ply has only the other regions — see the log for the cause.");
}

// The engine runs out of memory on the largest cell only, by message or by
// the kernel's kill: the cell is retried as its four quadrants, which join
// the queue and the saved plan in its place.
class PartitionedOutOfMemory : public PartitionedRun, public ::testing::WithParamInterface<const char*> {};

TEST_P(PartitionedOutOfMemory, LargestCellIsRetriedAsFourQuadrants) {
    const PartitionPlan plan = PartitionedCapture::plan(capture_, parameters_.iterations, parameters_.capMax);
    std::map<double, std::string> byNeed;
    for (const auto& cell : plan.trainableCells())
        byNeed[engines::MemoryEstimate::gigabytes(plan.imageWidth, plan.imageHeight, cell.imageCount,
                                                  cell.recommendedCapMax)] = cell.id;
    ASSERT_GE(byNeed.size(), 2u);
    const auto largest = std::prev(byNeed.end());
    const double limit = (largest->first + std::prev(largest)->first) / 2;
    const std::string parent = largest->second;
    ScopedEnvironment knobs({{"TESSARON_TEST_ENGINE_MEMORY_LIMIT_GB", core::fixedText(limit, 6)},
                             {"TESSARON_TEST_ENGINE_OOM_MODE", std::string(GetParam())}});
    run();

    const size_t planned = plan.trainableCells().size();
    const std::string failure = std::string(GetParam()) == "kill" ? "trevik stopped by signal 9"
                                                                  : "trevik training failed (exit 1)";
    EXPECT_TRUE(recorder_.loggedAs(train, "⚠ Cell " + parent + " training failed: " + failure));
    EXPECT_TRUE(recorder_.loggedAs(train, parent + " ran out of memory — retrying as 4 smaller cells…"));
    int64_t parentCap = 0;
    for (const auto& cell : plan.cells)
        if (cell.id == parent) parentCap = cell.recommendedCapMax;
    const int64_t subCap = parentCap > 199999 ? parentCap / 4 : std::min<int64_t>(50000, parentCap);
    EXPECT_TRUE(recorder_.loggedAs(train, "Enqueued 4 sub-quadrants of " + parent + " at cap " + std::to_string(subCap) +
                                              " each. ℹ If a sub-quadrant's seeds exceed 75% of that cap, the engine "
                                              "subsamples its seeds to half the cap (stderr line '[mcmc] init points')."));

    // The banner total grows by three from the cell after the parent on.
    const std::vector<std::string> shown = banners();
    ASSERT_EQ(shown.size(), planned + 4);
    EXPECT_THAT(shown.front(), HasSubstr(" 1/" + std::to_string(planned) + ": "));
    for (size_t quadrant = 0; quadrant < 4; ++quadrant)
        EXPECT_EQ(shown[planned + quadrant],
                  banner(planned + quadrant + 1, planned + 4, parent + "_s" + std::to_string(quadrant)));

    // The saved plan holds the sub-cells instead of the parent.
    const std::vector<std::string> savedIds = trainableIds(savedPlan());
    EXPECT_THAT(savedIds, Not(Contains(parent)));
    for (int quadrant = 0; quadrant < 4; ++quadrant)
        EXPECT_THAT(savedIds, Contains(parent + "_s" + std::to_string(quadrant)));
    EXPECT_FALSE(savedPlan().lostCellIds);

    EXPECT_TRUE(recorder_.loggedAs(exportStep, "═══ Seamless Merging " + std::to_string(planned + 3) + " cell PLYs ═══"));
    EXPECT_EQ(engines::PLYCheck::validate(output()).vertexCount, support::keptInMergeLog(recorder_.texts()));
    EXPECT_EQ(recorder_.states().back(), Kind::completed);
}

INSTANTIATE_TEST_SUITE_P(MessageOrKill, PartitionedOutOfMemory, ::testing::Values("message", "kill"),
                         [](const auto& info) { return std::string(info.param); });

TEST(IncompleteModel, NamesEveryRegionOnceAndEndsInTheError) {
    TempDir folder;
    auto manager = PipelineManager::create({}, testConfiguration(folder / "support"));
    RunRecorder recorder;
    recorder.attach(*manager);
    tessaron::testing::ManagerAccess::incompleteModelMessage(*manager, {"cell_3", "cell_5 (part)", "cell_3"},
                                                             folder / "ws" / "output.ply");

    const std::string message = "The model is incomplete: 2 region(s) failed or are missing (cell_3, cell_5 (part)). "
                                "output.ply has only the other regions — see the log for the cause.";
    EXPECT_EQ(recorder.states(), std::vector<PipelineState>{PipelineState::error(message)});
    EXPECT_EQ(recorder.log(), (std::vector<RunRecorder::LogEntry>{{exportStep, "⚠ " + message}}));
}

namespace {

struct PSNRCase {
    const char* name;
    std::vector<std::string> lines;
    std::optional<double> psnr;
};

void PrintTo(const PSNRCase& psnrCase, std::ostream* out) { *out << psnrCase.name; }

}  // namespace

class EnginePSNR : public ::testing::TestWithParam<PSNRCase> {};

TEST_P(EnginePSNR, LastReadableValueWins) { EXPECT_EQ(pipeline::parsePSNR(GetParam().lines), GetParam().psnr); }

INSTANTIATE_TEST_SUITE_P(
    Lines, EnginePSNR,
    ::testing::Values(PSNRCase{"None", {"step=10 loss=0.1", "Saved 10 Gaussians"}, std::nullopt},
                      PSNRCase{"SeedOnly", {"Eval PSNR: 30 (seed-only value, not measured)"}, 30.0},
                      PSNRCase{"AnyCaseAndSeparators", {"[eval] psnr=27.5 ssim=0.9", "PsNr :: 28.25dB"}, 28.25},
                      PSNRCase{"LastParsableWins", {"PSNR: 21.0", "PSNR: 22.5", "psnr: n/a"}, 22.5},
                      PSNRCase{"FirstMatchInALine", {"psnr psnr=12 PSNR=13"}, 12.0},
                      PSNRCase{"TrailingPoint", {"PSNR 15."}, 15.0},
                      PSNRCase{"NoSeparatorIsNoValue", {"psnr30"}, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });
