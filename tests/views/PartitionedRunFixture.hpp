#pragma once

// A partitioned run of a made-up town, for the panels' and the window's
// tests: the town's COLMAP model and placeholder photos, the engine in
// seed-only mode, a view model with scripted panels and room on its disk.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "ViewsTestSupport.hpp"
#include "support/ScopedEnvironment.hpp"
#include "pipeline/PartitionedRunSupport.hpp"
#include "viewmodel/ScriptedDialogs.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::testing {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;

class PartitionedRunFixture : public ::testing::Test {
protected:
    void SetUp() override {
        PartitionedCapture::write(capture_);
        std::filesystem::create_directories(output_);
        model_ = makeViewModel(support_);
        model_->setDialogService(dialogs_);
        ModelAccess::setFreeSpaceProbe(
            *model_, [](const std::filesystem::path&) { return std::optional<uint64_t>(uint64_t(1) << 40); });
        // A short run planned under the capture's memory limit.
        model_->setTrainingIterations(30);
        model_->setTrevikDownscaleFactor(1);
        model_->setUseVastGaussian(true);
        model_->setRamLimitGB(PartitionedCapture::ramLimitGB);
    }
    void TearDown() override { model_.reset(); }

    std::filesystem::path workspace() const { return output_ / "Tessaron_workspace"; }

    // The capture's photos are placeholders: the engine seeds from the model
    // alone. Declared first, so the setting outlives every run of the test.
    ScopedEnvironment seedOnly_{{"TESSARON_TEST_ENGINE_SEED_ONLY", "1"}};
    TempDir support_{"views-partitioned-run"};
    TempDir folder_{"views-partitioned-capture"};
    std::filesystem::path capture_ = folder_.path() / "capture";
    std::filesystem::path output_ = folder_.path() / "output";
    std::shared_ptr<ScriptedDialogs> dialogs_ = std::make_shared<ScriptedDialogs>();
    std::unique_ptr<viewmodel::PipelineViewModel> model_;
};

}  // namespace tessaron::testing
