// One photo folder through the real COLMAP program and the tests' engine
// to a validated output.ply, the main road of the application, and a stop
// of such a run while COLMAP works.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>

#include "colmap/COLMAPUtils.hpp"
#include "engines/PLYCheck.hpp"
#include "engines/ProcessMonitor.hpp"
#include "pipeline/PipelineManager.hpp"
#include "pipeline/RunConfig.hpp"
#include "pipeline/PipelineTestSupport.hpp"
#include "generators/SyntheticScene.hpp"
#include "support/TempDir.hpp"

using namespace tessaron;
using pipeline::PipelineLogStep;
using pipeline::PipelineManager;
using Kind = pipeline::PipelineState::Kind;
using tessaron::testing::readTextFile;
using tessaron::testing::RunRecorder;
using tessaron::testing::TempDir;
using ::testing::ElementsAre;
namespace fs = std::filesystem;

namespace {

// One model, trained whole, with memory to spare.
PipelineManager::RunParameters singleModelRun(const fs::path& photos, const fs::path& workspace) {
    PipelineManager::RunParameters parameters;
    parameters.inputURL = photos;
    parameters.workspaceURL = workspace;
    parameters.useVastGaussian = false;
    parameters.ramLimitGB = 64;
    return parameters;
}

}  // namespace

TEST(PipelineRealRun, PhotoFolderBecomesAValidatedModel) {
    TempDir folder("pipeline-real");
    const fs::path photos = folder / "photos";
    tessaron::generators::renderScene(photos, 12);
    const fs::path workspace = folder / "output" / "Tessaron_workspace";

    auto monitor = std::make_shared<engines::ProcessMonitor>();
    std::mutex watchedMutex;
    std::set<std::string> watched;
    monitor->setOnSnapshots([&](const std::vector<engines::ProcessSnapshot>& snapshots) {
        std::lock_guard lock(watchedMutex);
        for (const auto& snapshot : snapshots) watched.insert(snapshot.name);
    });
    auto manager = PipelineManager::create(monitor, tessaron::testing::testConfiguration(folder / "support"));
    const std::string colmap = engines::COLMAPRunner().colmapPath();
    ASSERT_TRUE(fs::exists(colmap)) << "COLMAP is not installed (looked for " << colmap << ")";
    RunRecorder recorder;
    recorder.attach(*manager);

    PipelineManager::RunParameters parameters = singleModelRun(photos, workspace);
    parameters.iterations = 200;
    manager->runPipeline(parameters);

    std::vector<Kind> kinds;
    for (const auto& state : recorder.states()) kinds.push_back(state.kind);
    ASSERT_THAT(kinds, ElementsAre(Kind::processingSfM, Kind::preparingData, Kind::training, Kind::exporting,
                                   Kind::completed))
        << (recorder.states().back().isError() ? recorder.states().back().message : "");

    EXPECT_EQ(fs::read_symlink(workspace / "dataset" / "images"), photos);
    EXPECT_EQ(fs::read_symlink(workspace / "dataset" / "sparse"), workspace / "colmap" / "sparse");
    // 640 × 480 photos train at half size.
    const pipeline::RunConfig recorded = pipeline::RunConfig::load(workspace);
    EXPECT_EQ(pipeline::RunConfig(recorded.downscale, recorded.eval, recorded.capMax, recorded.iterations),
              (pipeline::RunConfig{2, true, 1000000, 200}));
    EXPECT_EQ(recorded.ramLimitGB, 64.0);

    const auto model = colmap::COLMAPUtils::readModel(workspace / "colmap" / "sparse" / "0");
    EXPECT_GE(model.images.size(), 10u);
    EXPECT_EQ(engines::PLYCheck::validate(workspace / "output.ply").vertexCount, int64_t(model.points3D.size()));
    EXPECT_FALSE(fs::exists(workspace / "output.partial.ply"));

    EXPECT_TRUE(recorder.loggedAs(PipelineLogStep::sfm, "✓ COLMAP pipeline completed successfully."));
    EXPECT_TRUE(recorder.loggedAs(PipelineLogStep::dataPrep, "Image downscale factor: 2x"));
    EXPECT_EQ(recorder.log().back(), (RunRecorder::LogEntry{PipelineLogStep::export_, "═══ Pipeline complete! ═══"}));
    ASSERT_EQ(recorder.logFiles().size(), 1u);
    const std::string workspaceLog = readTextFile(recorder.logFiles()[0]);
    EXPECT_TRUE(workspaceLog.ends_with("[EXPORT] ═══ Pipeline complete! ═══\n"));
    EXPECT_EQ(readTextFile(folder / "support" / "Logs" / "current_run.md"), workspaceLog);

    std::lock_guard lock(watchedMutex);
    EXPECT_TRUE(watched.contains("colmap"));
    EXPECT_TRUE(watched.contains("trevik"));
}

// A stop on the operation's task reaches the running COLMAP step: the run
// ends as a cancel, with no child left. The wait is only a guard against a
// hang, not a measure of how fast the stop is.
TEST(PipelineRealRun, StoppingTheTaskEndsARealCOLMAPRun) {
    TempDir folder("pipeline-real-stop");
    const fs::path photos = folder / "photos";
    tessaron::generators::renderScene(photos, 12);

    auto monitor = std::make_shared<engines::ProcessMonitor>();
    std::mutex pidsMutex;
    std::condition_variable pidSeen;
    std::set<int32_t> colmapPids;
    monitor->setOnSnapshots([&](const std::vector<engines::ProcessSnapshot>& snapshots) {
        std::lock_guard lock(pidsMutex);
        for (const auto& snapshot : snapshots)
            if (snapshot.name == "colmap") colmapPids.insert(snapshot.id);
        pidSeen.notify_all();
    });
    auto manager = PipelineManager::create(monitor, tessaron::testing::testConfiguration(folder / "support"));
    RunRecorder recorder;
    recorder.attach(*manager);
    const PipelineManager::RunParameters parameters =
        singleModelRun(photos, folder / "output" / "Tessaron_workspace");

    std::promise<void> ended;
    std::jthread run([&](std::stop_token stop) {
        manager->runPipeline(parameters, stop);
        ended.set_value();
    });
    {
        std::unique_lock lock(pidsMutex);
        ASSERT_TRUE(pidSeen.wait_for(lock, std::chrono::seconds(60), [&] { return !colmapPids.empty(); }));
    }
    run.request_stop();
    EXPECT_EQ(ended.get_future().wait_for(std::chrono::seconds(120)), std::future_status::ready);
    run.join();

    EXPECT_FALSE(manager->isProcessRunning());
    std::lock_guard lock(pidsMutex);
    for (int32_t pid : colmapPids) EXPECT_NE(::kill(pid, 0), 0) << "COLMAP child " << pid << " is still there";
    // The COLMAP the stop ended did not fail: the run ends as a cancel.
    ASSERT_FALSE(recorder.states().empty());
    EXPECT_EQ(recorder.states().back(), Kind::processingSfM);
    const auto texts = recorder.texts();
    EXPECT_TRUE(std::none_of(texts.begin(), texts.end(),
                             [](const std::string& text) { return text.starts_with("COLMAP error: "); }));
    EXPECT_EQ(texts.back(), "Pipeline cancelled.");
}

// Photos of nothing in common: COLMAP's mapper fails, and the run's final
// message says what COLMAP said was wrong.
TEST(PipelineRealRun, ACOLMAPFailureEndsWithCOLMAPsOwnReason) {
    TempDir folder("pipeline-real-unrelated");
    const fs::path photos = folder / "photos";
    tessaron::generators::SceneOptions scene;
    scene.unrelatedViews = true;
    tessaron::generators::renderScene(photos, 8, scene);
    auto manager = PipelineManager::create(std::make_shared<engines::ProcessMonitor>(),
                                           tessaron::testing::testConfiguration(folder / "support"));
    RunRecorder recorder;
    recorder.attach(*manager);
    const PipelineManager::RunParameters parameters =
        singleModelRun(photos, folder / "output" / "Tessaron_workspace");
    manager->runPipeline(parameters);

    ASSERT_FALSE(recorder.states().empty());
    EXPECT_EQ(recorder.states().back(),
              pipeline::PipelineState::error("Sparse reconstruction failed (exit 1): failed to create sparse model"));
    EXPECT_TRUE(recorder.loggedAs(PipelineLogStep::sfm, "ERROR: failed to create sparse model"));
    EXPECT_TRUE(recorder.loggedAs(PipelineLogStep::sfm, "COLMAP error: Sparse reconstruction failed (exit 1)"));
}
