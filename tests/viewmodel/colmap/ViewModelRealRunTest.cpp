// A photo folder through the real COLMAP program and the tests' engine,
// watched through the view model: the live cloud, COLMAP's counters and the
// step logs, all published on the GUI thread.
#include <gtest/gtest.h>

#include <QTest>
#include <QThread>

#include "engines/COLMAPRunner.hpp"
#include "pipeline/PipelineTestSupport.hpp"
#include "generators/SyntheticScene.hpp"
#include "viewmodel/ViewModelTestSupport.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::testing {
namespace {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;
using generators::renderScene;
using viewmodel::PipelineViewModel;
using Kind = pipeline::PipelineState::Kind;
namespace fs = std::filesystem;

TEST_F(ViewModelTest, LiveCloudGrowsDuringARealSfMRunOnTheGuiThreadOnly) {
    const std::string colmap = engines::COLMAPRunner().colmapPath();
    ASSERT_TRUE(fs::exists(colmap)) << "COLMAP is not installed (looked for " << colmap << ")";
    // This test watches SfM: the engine writes its seeds untrained.
    ScopedEnvironment seedsOnly({{"TESSARON_TEST_ENGINE_SEED_ONLY", "1"}});
    TempDir folder("tessaron-viewmodel-real");
    const fs::path photos = folder / "photos";
    renderScene(photos, 16);
    const fs::path workspace = folder / "output" / "Tessaron_workspace";

    PipelineViewModel::Configuration configuration;
    configuration.physicalMemoryBytes = gibibytes(16);
    configuration.manager.supportFolder = support_.path();
    configuration.sfmSnapshotPollMilliseconds = 100;
    PipelineViewModel model(configuration);
    model.setCurrentWorkspaceURL(workspace);

    int offThread = 0;
    std::vector<size_t> cloudSizes;  // each publication during SfM
    QObject::connect(&model, &PipelineViewModel::latestSfMSnapshotChanged, &model, [&] {
        if (QThread::currentThread() != model.thread()) ++offThread;
        if (model.currentState().kind == Kind::processingSfM && model.latestSfMSnapshot())
            cloudSizes.push_back(model.latestSfMSnapshot()->ids.size());
    }, Qt::DirectConnection);

    pipeline::PipelineManager::RunParameters parameters;
    parameters.inputURL = photos;
    parameters.workspaceURL = workspace;
    parameters.iterations = 100;
    parameters.useVastGaussian = false;
    parameters.ramLimitGB = 64;
    std::shared_ptr<pipeline::PipelineManager> manager = model.pipelineManager();
    ModelAccess::startLogFlushTimer(model);
    ModelAccess::runTrackedOperation(
        model, [manager, parameters](std::stop_token stop) { manager->runPipeline(parameters, stop); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ModelAccess::hasActiveTask(model); }, 240000));
    ModelAccess::flushLogBuffer(model);
    ModelAccess::stopLogFlushTimer(model);

    ASSERT_EQ(model.currentState().kind, Kind::completed) << model.currentState().message;
    EXPECT_EQ(offThread, 0);
    ASSERT_FALSE(cloudSizes.empty()) << "no live cloud was published during SfM";
    EXPECT_TRUE(std::is_sorted(cloudSizes.begin(), cloudSizes.end()));
    EXPECT_GT(cloudSizes.back(), 0u);
    EXPECT_FALSE(ModelAccess::isPollingSfMSnapshots(model));
    // COLMAP 3.8's own lines gave the counters.
    EXPECT_EQ(model.sfmTotalImages(), 16);
    EXPECT_GE(model.sfmRegisteredImages(), 13);
    EXPECT_TRUE(model.sfmLog().contains("Processed file [16/16]"));
    EXPECT_TRUE(model.engineRamString().has_value());
    EXPECT_EQ(model.outputPlyPath(), QString::fromStdString((workspace / "output.ply").string()));
    std::cout << "live cloud publications during SfM: " << cloudSizes.size() << " (last " << cloudSizes.back()
              << " points)\n";
}

}  // namespace
}  // namespace tessaron::testing
