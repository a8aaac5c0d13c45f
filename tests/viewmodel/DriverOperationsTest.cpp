// The driver operations the views start through the view model: approving
// the reviewed plan, the quit guard's kill, and the question whether an
// engine child still runs.
#include <gtest/gtest.h>

#include <QTest>

#include <atomic>
#include <memory>
#include <thread>

#include "core/Error.hpp"
#include "pipeline/PipelineTestSupport.hpp"
#include "viewmodel/ViewModelTestSupport.hpp"

namespace tessaron::testing {
namespace {

using Approval = pipeline::PipelineManager::ApprovalOutcome;

class DriverOperations : public ViewModelTest {
protected:
    void SetUp() override { model_ = makeViewModel(); }
    void TearDown() override {
        model_->forceKill();
        model_.reset();
    }

    // Runs `script` as the COLMAP runner's child on a worker of its own;
    // returns once the child has said "ready".
    void startChild(const std::string& script) {
        auto ready = std::make_shared<std::atomic<bool>>(false);
        child_ = std::jthread([manager = model_->pipelineManager(), script, ready] {
            try {
                ManagerAccess::colmapRunner(*manager).runner().run(
                    {.executablePath = "/bin/sh", .arguments = {"-c", script}}, [ready](const std::string& line) {
                        if (line == "ready") ready->store(true);
                    });
            } catch (const core::CancellationError&) {
                // Killed before the launch: nothing ran.
            }
        });
        ASSERT_TRUE(QTest::qWaitFor([&] { return ready->load(); }, 30000));
    }

    std::unique_ptr<viewmodel::PipelineViewModel> model_;
    std::jthread child_;
};

TEST_F(DriverOperations, ApprovePlanAnswersTheWaitWithTheDiagnosticsChoice) {
    for (const bool chosen : {true, false}) {
        model_->setDiagnosticsEnabled(chosen);
        std::atomic<bool> answered = false;
        pipeline::ApprovalGate::Decision decision;
        std::jthread waiter([&, manager = model_->pipelineManager()] {
            decision = ManagerAccess::awaitPartitionDecision(*manager);
            answered = true;
        });
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return ManagerAccess::isAwaitingApproval(*model_->pipelineManager()); }, 30000));
        model_->approvePlan();
        ASSERT_TRUE(QTest::qWaitFor([&] { return answered.load(); }, 30000));
        waiter.join();
        EXPECT_EQ(decision.outcome, Approval::approved);
        EXPECT_EQ(decision.diagnostics, std::optional<bool>(chosen));
    }
}

TEST_F(DriverOperations, ForceKillEndsAChildThatIgnoresTerminateAndIsProcessRunningFollows) {
    EXPECT_FALSE(model_->isProcessRunning());
    startChild("trap '' TERM; echo ready; exec sleep 30");
    EXPECT_TRUE(model_->isProcessRunning());
    model_->forceKill();
    child_.join();
    EXPECT_FALSE(model_->isProcessRunning());
}

}  // namespace
}  // namespace tessaron::testing
