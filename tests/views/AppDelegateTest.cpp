// The launch prompt and the quit guard with a scripted alert, real view
// models and real engine children (one that ignores SIGTERM).
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "ViewsTestSupport.hpp"
#include "core/PreferenceStore.hpp"
#include "pipeline/RunReport.hpp"
#include "support/EventLoopWait.hpp"
#include "views/AppDelegate.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::testing {
namespace {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;

using namespace std::chrono_literals;
using pipeline::RunReport;
using viewmodel::PipelineViewModel;
using views::Alert;
using views::AppDelegate;
using Reply = AppDelegate::TerminateReply;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

// Answers each alert with the next scripted button and keeps what it showed.
struct ScriptedAlerts {
    std::vector<int> answers;
    std::vector<Alert> shown;

    views::AlertPresenter presenter() {
        return [this](const Alert& alert) {
            shown.push_back(alert);
            if (answers.empty()) return 0;
            int answer = answers.front();
            answers.erase(answers.begin());
            return answer;
        };
    }
};

RunReport runningReport(const std::string& step) {
    RunReport report;
    report.kind = "New run";
    report.startedAt = core::Clock::now();
    report.input = "/photos";
    report.step = step;
    return report;
}

class LaunchPromptTest : public ::testing::Test {
protected:
    std::unique_ptr<AppDelegate> makeDelegate() {
        return std::make_unique<AppDelegate>(alerts_.presenter(), [this](const std::optional<QString>& context) {
            contexts_.push_back(context);
        });
    }

    TempDir logs_{"tessaron-views-logs"};
    core::InMemoryPreferenceStore defaults_;
    ScriptedAlerts alerts_;
    std::vector<std::optional<QString>> contexts_;
};

class InterruptedRunAnswers : public LaunchPromptTest, public ::testing::WithParamInterface<int> {};

TEST_P(InterruptedRunAnswers, AreOfferedExactlyOnce) {
    RunReport::save(runningReport("Training cell 3/8"), logs_.path());
    alerts_.answers = {GetParam()};
    auto delegate = makeDelegate();
    delegate->reportInterruptedRunIfNeeded(logs_.path(), defaults_);
    // The prompt opens after launch, from the event loop.
    EXPECT_TRUE(alerts_.shown.empty());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !alerts_.shown.empty(); }, 30000));
    const Alert& alert = alerts_.shown.front();
    EXPECT_EQ(alert.message, QStringLiteral("Tessaron closed unexpectedly during the last run"));
    EXPECT_EQ(alert.informativeText,
              QStringLiteral("It stopped at Training cell 3/8. Sending a report helps fix it: Tessaron prepares an "
                             "e-mail with the run's settings and log, and you decide whether to send it."));
    EXPECT_EQ(alert.buttons, (QStringList{QStringLiteral("Report…"), QStringLiteral("Not Now")}));
    if (GetParam() == 0) {
        ASSERT_EQ(contexts_.size(), 1u);
        EXPECT_EQ(contexts_.front(),
                  QStringLiteral("Tessaron closed unexpectedly during the last run (at Training cell 3/8)."));
    } else {
        EXPECT_TRUE(contexts_.empty());
    }
    EXPECT_EQ(RunReport::decode(readTextFile(logs_.path() / RunReport::fileName)).outcome,
              RunReport::Outcome::interrupted);

    // The next launch shows nothing, whatever the answer was.
    auto nextLaunch = makeDelegate();
    nextLaunch->reportInterruptedRunIfNeeded(logs_.path(), defaults_);
    ASSERT_TRUE(deliverEventsDueWithin());  // an offer is made from the event loop
    EXPECT_EQ(alerts_.shown.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(ReportOrNotNow, InterruptedRunAnswers, ::testing::Values(0, 1));

class FinishedRuns : public LaunchPromptTest, public ::testing::WithParamInterface<RunReport::Outcome> {};

TEST_P(FinishedRuns, AreNotOffered) {
    RunReport report = runningReport("Exporting");
    report.outcome = GetParam();
    RunReport::save(report, logs_.path());
    auto delegate = makeDelegate();
    delegate->reportInterruptedRunIfNeeded(logs_.path(), defaults_);
    ASSERT_TRUE(deliverEventsDueWithin());  // an offer is made from the event loop
    EXPECT_TRUE(alerts_.shown.empty());
}

INSTANTIATE_TEST_SUITE_P(Outcomes, FinishedRuns,
                         ::testing::Values(RunReport::Outcome::completed, RunReport::Outcome::failed,
                                           RunReport::Outcome::cancelled, RunReport::Outcome::interrupted));

TEST_F(LaunchPromptTest, AnUnreadableReportOrNoFolderOffersNothing) {
    writeTextFile(logs_.path() / RunReport::fileName, "{\"kind\": \"New run\", \"outc");
    auto delegate = makeDelegate();
    delegate->reportInterruptedRunIfNeeded(logs_.path(), defaults_);
    delegate->reportInterruptedRunIfNeeded(std::nullopt, defaults_);
    ASSERT_TRUE(deliverEventsDueWithin());  // an offer is made from the event loop
    EXPECT_TRUE(alerts_.shown.empty());
}

// The quit guard with short waits in place of 20 s and 5 s.
class QuitGuardTest : public ::testing::Test {
protected:
    void SetUp() override {
        delegate_->setPipelineViewModel(model_.get());
        ModelAccess::beginRunReport(*model_, "New run", "/photos", {});
    }

    RunReport savedReport() const {
        return RunReport::decode(readTextFile(support_.path() / "Logs" / RunReport::fileName));
    }

    // Quits through the guard and waits for its answer: true when the
    // application may quit, false when it stays.
    std::optional<bool> quitAndWait(std::chrono::milliseconds limit = 30s) {
        QSignalSpy approved(delegate_.get(), &AppDelegate::quitApproved);
        QSignalSpy replied(delegate_.get(), &AppDelegate::terminationReplied);
        delegate_->requestQuit();
        if (approved.count() == 1) return true;
        if (!delegate_->isTerminationPending()) return false;
        if (!QTest::qWaitFor([&] { return !replied.isEmpty(); }, int(limit.count()))) return std::nullopt;
        QCoreApplication::processEvents();
        return approved.count() == 1;
    }

    TempDir support_{"tessaron-views"};
    std::unique_ptr<PipelineViewModel> model_ = makeViewModel(support_);
    ScriptedAlerts alerts_;
    std::unique_ptr<AppDelegate> delegate_ = std::make_unique<AppDelegate>(
        alerts_.presenter(), AppDelegate::FeedbackAction{}, views::ModelOperations::standard(),
        views::QuitTiming{300ms, 2000ms});
};

TEST_F(QuitGuardTest, WithNothingRunningItQuitsAtOnceAndClosesTheReport) {
    model_->setCurrentState(pipeline::PipelineState::error("earlier failure"));
    EXPECT_EQ(delegate_->applicationShouldTerminate(), Reply::now);
    EXPECT_EQ(quitAndWait(), true);
    EXPECT_TRUE(alerts_.shown.empty());
    // The report that was still running is closed as cancelled.
    EXPECT_EQ(savedReport().outcome, RunReport::Outcome::cancelled);
}

TEST_F(QuitGuardTest, WithoutAModelItQuitsAtOnce) {
    model_.reset();
    EXPECT_EQ(delegate_->applicationShouldTerminate(), Reply::now);
}

TEST_F(QuitGuardTest, KeepRunningLeavesTheRunUntouched) {
    // A partitioned run: its finished cells are worth a word.
    model_->setTotalCells(4);
    startChildOperation(*model_, politeChild);
    alerts_.answers = {1};
    EXPECT_EQ(quitAndWait(), false);
    ASSERT_EQ(alerts_.shown.size(), 1u);
    EXPECT_EQ(alerts_.shown[0].message, QStringLiteral("Stop the running reconstruction and quit?"));
    EXPECT_EQ(alerts_.shown[0].informativeText,
              QStringLiteral("Cells that already finished stay in the workspace; you can resume the rest later."));
    EXPECT_EQ(alerts_.shown[0].buttons, (QStringList{QStringLiteral("Stop and Quit"), QStringLiteral("Keep Running")}));
    EXPECT_TRUE(model_->hasActiveOperation());
    EXPECT_FALSE(model_->isCancelling());
    EXPECT_TRUE(model_->pipelineManager()->isProcessRunning());
    EXPECT_EQ(savedReport().outcome, RunReport::Outcome::running);
    model_->pipelineManager()->forceKill();
}

TEST_F(QuitGuardTest, ARunThatStopsInTimeQuitsWithoutKilling) {
    // An idle wait no busy machine runs out: the run stops on SIGTERM, and
    // the kill is never called.
    views::ModelOperations operations = views::ModelOperations::standard();
    int kills = 0;
    operations.forceKill = [&kills](PipelineViewModel&) { ++kills; };
    delegate_ = std::make_unique<AppDelegate>(alerts_.presenter(), AppDelegate::FeedbackAction{}, operations,
                                              views::QuitTiming{120s, 2000ms});
    delegate_->setPipelineViewModel(model_.get());
    startChildOperation(*model_, politeChild);
    EXPECT_EQ(quitAndWait(150s), true);
    EXPECT_EQ(kills, 0);
    ASSERT_EQ(alerts_.shown.size(), 1u);
    // A run without cells has none to keep: the question stands alone.
    EXPECT_EQ(alerts_.shown[0].message, QStringLiteral("Stop the running reconstruction and quit?"));
    EXPECT_TRUE(alerts_.shown[0].informativeText.isEmpty());
    EXPECT_FALSE(model_->pipelineManager()->isProcessRunning());
    EXPECT_EQ(savedReport().outcome, RunReport::Outcome::cancelled);
}

TEST_F(QuitGuardTest, AChildThatIgnoresTerminateIsKilledAndTheApplicationQuits) {
    startChildOperation(*model_, stubbornChild);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(quitAndWait(), true);
    // Killed after the idle wait; the quit itself shows it ended inside the
    // kill wait (a busy machine stretches the time, not the outcome).
    EXPECT_GE(clock.elapsed(), 300);
    EXPECT_EQ(alerts_.shown.size(), 1u);
    EXPECT_FALSE(model_->pipelineManager()->isProcessRunning());
    EXPECT_EQ(savedReport().outcome, RunReport::Outcome::cancelled);
}

// A child the kill cannot reach (one stuck in the kernel, say): the guard
// refuses to quit and says so, and the next quit asks again.
TEST_F(QuitGuardTest, AChildThatOutlivesTheKillKeepsTheApplicationOpen) {
    views::ModelOperations operations = views::ModelOperations::standard();
    operations.forceKill = [](PipelineViewModel&) {};
    delegate_ = std::make_unique<AppDelegate>(alerts_.presenter(), AppDelegate::FeedbackAction{}, operations,
                                              views::QuitTiming{200ms, 200ms});
    delegate_->setPipelineViewModel(model_.get());
    startChildOperation(*model_, stubbornChild);
    EXPECT_EQ(quitAndWait(), false);
    ASSERT_EQ(alerts_.shown.size(), 2u);
    EXPECT_EQ(alerts_.shown[1].message, QStringLiteral("A helper process is still running"));
    EXPECT_EQ(alerts_.shown[1].informativeText,
              QStringLiteral("Tessaron couldn't stop COLMAP or trevik, so it isn't quitting. Try again, or end the "
                             "process in System Monitor."));
    EXPECT_EQ(alerts_.shown[1].buttons, QStringList{QStringLiteral("OK")});
    EXPECT_FALSE(delegate_->isTerminationPending());
    EXPECT_TRUE(model_->pipelineManager()->isProcessRunning());
    EXPECT_EQ(savedReport().outcome, RunReport::Outcome::cancelled);

    // Quitting again runs the whole guard again.
    alerts_.answers = {1};
    EXPECT_EQ(quitAndWait(), false);
    ASSERT_EQ(alerts_.shown.size(), 3u);
    EXPECT_EQ(alerts_.shown[2].message, QStringLiteral("Stop the running reconstruction and quit?"));
    model_->pipelineManager()->forceKill();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model_->hasActiveOperation(); }, 30000));
}

TEST_F(QuitGuardTest, AChildLeftWithoutAnOperationStillCountsAsActive) {
    // An engine child outside any tracked operation: the guard must not
    // leave it behind.
    std::jthread orphan([manager = model_->pipelineManager()] {
        // The manager stays alive with this thread.
        pipeline::PipelineManagerTestAccess::colmapRunner(*manager).runner().run(
            {.executablePath = "/bin/sh", .arguments = {"-c", stubbornChild}}, [](const std::string&) {});
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return model_->pipelineManager()->isProcessRunning(); }, 30000));
    EXPECT_EQ(quitAndWait(), true);
    EXPECT_EQ(alerts_.shown.size(), 1u);
    EXPECT_FALSE(model_->pipelineManager()->isProcessRunning());
}

TEST_F(QuitGuardTest, ASecondQuitWhileWaitingIsIgnored) {
    startChildOperation(*model_, stubbornChild);
    QSignalSpy approved(delegate_.get(), &AppDelegate::quitApproved);
    delegate_->requestQuit();
    ASSERT_TRUE(delegate_->isTerminationPending());
    delegate_->requestQuit();
    EXPECT_EQ(alerts_.shown.size(), 1u);
    ASSERT_TRUE(QTest::qWaitFor([&] { return approved.count() == 1; }, 30000));
    ASSERT_TRUE(deliverEventsDueWithin(50ms));
    EXPECT_EQ(approved.count(), 1);
    EXPECT_FALSE(delegate_->isTerminationPending());
}

TEST_F(QuitGuardTest, ANewWaitReplacesTheOldOne) {
    model_->setHasActiveOperation(true);
    int first = 0, second = 0;
    delegate_->waitForIdle(*model_, 100ms, [&](bool) { ++first; });
    delegate_->waitForIdle(*model_, 5000ms, [&](bool reached) { second += reached ? 1 : 100; });
    ASSERT_TRUE(deliverEventsDueWithin(200ms));  // past the first wait's limit
    EXPECT_EQ(first, 0);
    model_->setHasActiveOperation(false);
    EXPECT_EQ(second, 1);
    ASSERT_TRUE(deliverEventsDueWithin());
    EXPECT_EQ(second, 1);
}

TEST_F(QuitGuardTest, AnIdleModelCompletesTheWaitFromTheEventLoop) {
    std::vector<bool> results;
    delegate_->waitForIdle(*model_, 1000ms, [&](bool reached) { results.push_back(reached); });
    EXPECT_TRUE(results.empty());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !results.empty(); }, 30000));
    EXPECT_EQ(results, std::vector<bool>{true});
}


// After its child (which ignores SIGTERM) is killed, the run goes on to a
// stage that never looks at the cancel, as a merge or a plan being computed
// does. The quit still goes through, and the model's end does not wait for
// the stage: the process can end.
TEST_F(QuitGuardTest, AStageThatIgnoresTheCancelHoldsNeitherTheQuitNorTheModelsEnd) {
    struct Stage {
        std::mutex lock;
        std::condition_variable_any changed;
        bool released = false;
        bool ended = false;
    };
    auto stage = std::make_shared<Stage>();
    auto ready = std::make_shared<std::atomic<bool>>(false);
    model_->setHasActiveOperation(true);
    ModelAccess::runTrackedOperation(*model_, [manager = model_->pipelineManager(), stage, ready](std::stop_token) {
        try {
            pipeline::PipelineManagerTestAccess::colmapRunner(*manager).runner().run(
                {.executablePath = "/bin/sh", .arguments = {"-c", stubbornChild}}, [ready](const std::string& line) {
                    if (line == "ready") ready->store(true);
                });
        } catch (const std::exception&) {
            // Killed: the run goes on to its next stage all the same.
        }
        std::unique_lock lock(stage->lock);
        stage->changed.wait(lock, [&] { return stage->released; });
        stage->ended = true;
        stage->changed.notify_all();
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return ready->load() && model_->pipelineManager()->isProcessRunning(); }, 30000));

    EXPECT_EQ(quitAndWait(), true);
    EXPECT_FALSE(model_->pipelineManager()->isProcessRunning());
    EXPECT_TRUE(model_->hasActiveOperation());

    // Should the model's end wait for the stage, this frees it after a
    // minute, so that the fault fails the test rather than hanging it.
    std::atomic<bool> watchdogFreedTheStage = false;
    std::jthread watchdog([stage, &watchdogFreedTheStage](std::stop_token stopToken) {
        std::unique_lock lock(stage->lock);
        if (stage->changed.wait_for(lock, stopToken, std::chrono::seconds(60), [] { return false; })) return;
        if (stopToken.stop_requested()) return;
        watchdogFreedTheStage = true;
        stage->released = true;
        stage->changed.notify_all();
    });
    model_.reset();
    watchdog.request_stop();
    watchdog.join();
    EXPECT_FALSE(watchdogFreedTheStage);

    std::unique_lock lock(stage->lock);
    EXPECT_FALSE(stage->ended);
    // The stage ends once freed; nothing of the test outlives it.
    stage->released = true;
    stage->changed.notify_all();
    EXPECT_TRUE(stage->changed.wait_for(lock, std::chrono::seconds(30), [&] { return stage->ended; }));
}

}  // namespace
}  // namespace tessaron::testing
