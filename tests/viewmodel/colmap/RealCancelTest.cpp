// A cancel from the view model during a real COLMAP step.
#include <gtest/gtest.h>

#include <QTest>

#include "generators/SyntheticScene.hpp"
#include "viewmodel/ScriptedDialogs.hpp"
#include "viewmodel/ViewModelTestSupport.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::testing {
namespace {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;
using generators::renderScene;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

TEST_F(ViewModelTest, CancelDuringRealCOLMAPEndsTheRunWithNoChildLeft) {
    TempDir folder("viewmodel-real-cancel");
    renderScene(folder.path() / "photos", 12);
    auto model = makeViewModel();
    auto dialogs = std::make_shared<ScriptedDialogs>();
    model->setDialogService(dialogs);
    ModelAccess::setFreeSpaceProbe(*model, [](const std::filesystem::path&) { return std::nullopt; });
    model->setSelectedInputURL(folder.path() / "photos");
    model->setUseVastGaussian(false);
    model->setRamLimitGB(64);
    dialogs->answer(folder.path());
    std::vector<pipeline::PipelineState> states;
    QObject::connect(model.get(), &viewmodel::PipelineViewModel::currentStateChanged,
                     [&] { states.push_back(model->currentState()); });
    model->startNewRun();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->pipelineManager()->isProcessRunning(); }, 60000));

    model->cancelRun();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->hasActiveOperation(); }, 30000));
    EXPECT_FALSE(model->pipelineManager()->isProcessRunning());
    EXPECT_EQ(savedReport().outcome, pipeline::RunReport::Outcome::cancelled);
    EXPECT_EQ(model->currentState(), pipeline::PipelineState::Kind::idle);
    // The terminated COLMAP is the cancel's doing, never shown as a failure;
    // the window stays with the SfM step, its lines and a word on the cancel.
    for (const pipeline::PipelineState& state : states)
        EXPECT_NE(state.kind, pipeline::PipelineState::Kind::error) << state.message;
    ASSERT_TRUE(model->cancelledRun());
    EXPECT_EQ(model->cancelledRun()->step, viewmodel::WorkflowStep::sfm);
    EXPECT_EQ(model->cancelledRun()->note(), QStringLiteral("Run cancelled at Camera poses (COLMAP)."));
    EXPECT_FALSE(model->sfmLog().isEmpty());
    EXPECT_FALSE(model->outputPlyPath());
}

}  // namespace
}  // namespace tessaron::testing
