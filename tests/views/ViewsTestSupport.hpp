#pragma once

// The window's tests: settings and data folders in a temporary folder of
// the program, each view model with a support folder of its own, and a way
// to keep a real engine child running inside an operation of the model.

#include <gtest/gtest.h>

#include <QTest>

#include <atomic>
#include <memory>
#include <string>

#include "core/Error.hpp"
#include "support/TempDir.hpp"
#include "viewmodel/PipelineViewModel.hpp"
// PrivateUserFolders: the settings and data folders in a temporary folder.
#include "viewmodel/ViewModelTestSupport.hpp"

namespace tessaron::testing {

// The support folder's COLMAP: it answers the version probe and, in its
// first step, becomes the shell line of the support folder's "child.sh".
inline std::filesystem::path childCOLMAP(const TempDir& support) {
    const std::filesystem::path script = support.path() / "colmap";
    writeTextFile(script, "#!/bin/sh\n"
                          "if [ \"$1\" = \"-h\" ]; then echo 'COLMAP 3.8 -- Structure-from-Motion'; exit 0; fi\n"
                          "exec /bin/sh -c \"$(cat '" + (support.path() / "child.sh").string() + "')\"\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    return script;
}

inline std::unique_ptr<viewmodel::PipelineViewModel> makeViewModel(const TempDir& support) {
    viewmodel::PipelineViewModel::Configuration configuration;
    configuration.physicalMemoryBytes = gibibytes(16);
    configuration.manager.supportFolder = support.path();
    configuration.manager.colmapPath = childCOLMAP(support).string();
    return std::make_unique<viewmodel::PipelineViewModel>(configuration);
}

// A shell line for the engine's child: `sleep` that ignores SIGTERM (an
// ignored signal stays ignored across exec), so only a kill ends it.
inline const char* const stubbornChild = "trap '' TERM; exec sleep 30";
inline const char* const politeChild = "exec sleep 30";

// A run of `model`'s manager on an empty photo folder of its support
// folder, whose COLMAP child runs `script` (makeViewModel's COLMAP).
inline void runChildPipeline(const std::shared_ptr<pipeline::PipelineManager>& manager,
                             const std::filesystem::path& supportFolder, std::stop_token stopToken = {}) {
    pipeline::PipelineManager::RunParameters parameters;
    parameters.inputURL = supportFolder / "photos";
    parameters.workspaceURL = supportFolder / "Tessaron_workspace";
    parameters.ramLimitGB = 8;
    manager->runPipeline(parameters, stopToken);
}

inline void prepareChild(viewmodel::PipelineViewModel& model, const std::string& script) {
    const std::filesystem::path support = model.runReportFolder()->parent_path();
    std::filesystem::create_directories(support / "photos");
    writeTextFile(support / "child.sh", script);
}

// Starts an operation on `model` whose COLMAP child runs `script`, as a run
// does; returns once the child is running.
inline void startChildOperation(viewmodel::PipelineViewModel& model, const std::string& script) {
    prepareChild(model, script);
    model.setHasActiveOperation(true);
    model.runTrackedOperation([manager = model.pipelineManager(),
                               support = model.runReportFolder()->parent_path()](std::stop_token stopToken) {
        runChildPipeline(manager, support, stopToken);
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.pipelineManager()->isProcessRunning(); }, 5000));
}

}  // namespace tessaron::testing
