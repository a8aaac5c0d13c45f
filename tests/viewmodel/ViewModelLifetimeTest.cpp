#include <gtest/gtest.h>

#include <QColor>
#include <QCoreApplication>
#include <QImage>
#include <QTest>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <string>

#include "support/EventLoopWait.hpp"
#include "viewmodel/ViewModelTestSupport.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::testing {
namespace {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;

using viewmodel::PipelineViewModel;

// A COLMAP that answers the version probe, writes its pid and then sleeps in
// its first step; `exec` makes the sleep the child itself.
std::filesystem::path sleepingCOLMAP(const std::filesystem::path& folder, const std::filesystem::path& pidFile) {
    const std::filesystem::path script = folder / "colmap";
    writeTextFile(script, "#!/bin/sh\n"
                          "if [ \"$1\" = \"-h\" ]; then echo 'COLMAP 3.8 -- Structure-from-Motion'; exit 0; fi\n"
                          "echo $$ > '" + pidFile.string() + "'\n"
                          "exec sleep 30\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    return script;
}

bool processExists(pid_t pid) { return ::kill(pid, 0) == 0 || errno != ESRCH; }

TEST_F(ViewModelTest, DestroyedMidRunReturnsAtOnceDeliversNothingAndLeavesNoChild) {
    TempDir folder("tessaron-viewmodel-run");
    const std::filesystem::path photos = folder / "photos";
    std::filesystem::create_directories(photos);
    // The run checks that the folder holds two photos that decode before COLMAP runs.
    QImage picture(64, 48, QImage::Format_RGB32);
    picture.fill(QColor(90, 120, 150));
    for (const char* name : {"frame_000001.jpg", "frame_000002.jpg"})
        ASSERT_TRUE(picture.save(QString::fromStdString((photos / name).string()), "JPG"));
    const std::filesystem::path pidFile = folder / "colmap.pid";

    PipelineViewModel::Configuration configuration;
    configuration.physicalMemoryBytes = gibibytes(16);
    configuration.manager.supportFolder = support_.path();
    configuration.manager.colmapPath = sleepingCOLMAP(folder.path(), pidFile).string();
    auto model = std::make_unique<PipelineViewModel>(configuration);

    // Reports reach the model through its bound callbacks.
    auto delivered = std::make_shared<std::atomic<int>>(0);
    auto destroyed = std::make_shared<std::atomic<bool>>(false);
    auto afterDestruction = std::make_shared<std::atomic<int>>(0);
    QObject::connect(model.get(), &PipelineViewModel::currentStateChanged, [delivered] { ++*delivered; });
    std::shared_ptr<pipeline::PipelineManager> manager = model->pipelineManager();
    pipeline::PipelineManager::RunParameters parameters;
    parameters.inputURL = photos;
    parameters.workspaceURL = folder / "Tessaron_workspace";
    parameters.ramLimitGB = 8;
    ModelAccess::runTrackedOperation(
        *model, [manager, parameters](std::stop_token stopToken) { manager->runPipeline(parameters, stopToken); },
        [destroyed, afterDestruction] {
            if (*destroyed) ++*afterDestruction;
        });
    manager.reset();  // the running operation keeps its own

    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return std::filesystem::exists(pidFile) && std::filesystem::file_size(pidFile) > 0; }, 30000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return *delivered >= 1; }, 30000));  // processingSfM arrived
    const pid_t child = std::stoi(readTextFile(pidFile));
    ASSERT_TRUE(processExists(child));

    const auto start = std::chrono::steady_clock::now();
    model.reset();
    *destroyed = true;
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 25.0);  // the engine would sleep for 30 s

    ASSERT_TRUE(deliverEventsDueWithin());
    EXPECT_EQ(*afterDestruction, 0);
    // Ended, well before the 30 s the engine would sleep.
    EXPECT_TRUE(QTest::qWaitFor([&] { return !processExists(child); }, 30000));
}

}  // namespace
}  // namespace tessaron::testing
