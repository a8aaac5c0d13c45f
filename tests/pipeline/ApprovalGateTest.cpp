#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "pipeline/ApprovalGate.hpp"

using tessaron::pipeline::ApprovalGate;
using Outcome = ApprovalGate::Outcome;

namespace {

// Starts a wait on another thread and returns once it is stored.
std::future<ApprovalGate::Decision> startWaiting(ApprovalGate& gate) {
    auto decision = std::async(std::launch::async, [&gate] { return gate.await(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!gate.isWaiting() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    EXPECT_TRUE(gate.isWaiting());
    return decision;
}

}  // namespace

TEST(ApprovalGate, AnApprovalEndsTheWaitOnceWithItsDiagnosticsChoice) {
    ApprovalGate gate;
    auto decision = startWaiting(gate);
    gate.resolve({Outcome::approved, true});
    gate.resolve({Outcome::cancelled});  // nothing waits any more
    const ApprovalGate::Decision answer = decision.get();
    EXPECT_EQ(answer.outcome, Outcome::approved);
    EXPECT_EQ(answer.diagnostics, std::optional<bool>(true));
    EXPECT_FALSE(gate.isWaiting());

    // Without a choice the run keeps its own.
    decision = startWaiting(gate);
    gate.resolve({Outcome::approved});
    EXPECT_EQ(decision.get().diagnostics, std::nullopt);
}

TEST(ApprovalGate, ADeclineEndsTheWaitAsCancelledWithoutLatchingACancel) {
    ApprovalGate gate;
    auto decision = startWaiting(gate);
    gate.resolve({Outcome::cancelled});
    EXPECT_EQ(decision.get().outcome, Outcome::cancelled);
    EXPECT_FALSE(gate.isCancelRequested());
}

TEST(ApprovalGate, ACancelWhileWaitingEndsTheWaitAndStaysUntilTheNextOperation) {
    ApprovalGate gate;
    auto decision = startWaiting(gate);
    gate.cancel();
    EXPECT_EQ(decision.get().outcome, Outcome::cancelled);
    EXPECT_TRUE(gate.isCancelRequested());
    // Latched: a later wait of the same operation ends at once.
    EXPECT_EQ(gate.await().outcome, Outcome::cancelled);

    gate.reset();
    EXPECT_FALSE(gate.isCancelRequested());
    decision = startWaiting(gate);
    gate.resolve({Outcome::approved, false});
    EXPECT_EQ(decision.get().outcome, Outcome::approved);
}

TEST(ApprovalGate, AnAnswerWithNothingWaitingIsNotKeptForTheNextWait) {
    ApprovalGate gate;
    gate.resolve({Outcome::approved, true});
    auto decision = startWaiting(gate);
    EXPECT_EQ(decision.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    gate.resolve({Outcome::cancelled});
    EXPECT_EQ(decision.get().outcome, Outcome::cancelled);
}

TEST(ApprovalGate, ASecondWaitEndsTheFirstAsCancelled) {
    ApprovalGate gate;
    auto first = startWaiting(gate);
    auto second = std::async(std::launch::async, [&gate] { return gate.await(); });
    EXPECT_EQ(first.get().outcome, Outcome::cancelled);
    // The second wait is the one an answer reaches now.
    while (second.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
        gate.resolve({Outcome::approved});
    EXPECT_EQ(second.get().outcome, Outcome::approved);
}
