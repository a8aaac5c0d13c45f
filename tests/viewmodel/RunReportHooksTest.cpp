#include <gtest/gtest.h>

#include <QLocale>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <filesystem>

#include "pipeline/PipelineTestSupport.hpp"
#include "viewmodel/ViewModelTestSupport.hpp"
#include "viewmodel/PipelineViewModelTestAccess.hpp"

namespace tessaron::testing {
namespace {

using ModelAccess = viewmodel::PipelineViewModelTestAccess;

using pipeline::PipelineState;
using pipeline::RunReport;
using viewmodel::PipelineViewModel;
using viewmodel::SettingRows;
using Kind = PipelineState::Kind;
using Outcome = RunReport::Outcome;

// The default locale of the process for one test.
class ScopedLocale {
public:
    explicit ScopedLocale(const QLocale& locale) { QLocale::setDefault(locale); }
    ~ScopedLocale() { QLocale::setDefault(previous_); }

private:
    QLocale previous_;
};

// ---- Settings rows -----------------------------------------------------------------

TEST_F(ViewModelTest, SettingsSummaryHasFiveRowsAndSkipCOLMAPOnlyWhenOn) {
    ScopedLocale english(QLocale(QLocale::English, QLocale::UnitedStates));
    auto model = makeViewModel(gibibytes(16));
    EXPECT_EQ(model->settingsSummary(), (SettingRows{{"Model size", "1,000,000"},
                                                     {"Downscale", "Auto"},
                                                     {"Eval", "on"},
                                                     {"Memory limit", "13 GB"},
                                                     {"Partitioning", "on"}}));
    QSignalSpy rows(model.get(), &PipelineViewModel::settingsSummaryChanged);
    model->setSkipSfM(true);
    model->setTrevikDownscaleFactor(4);
    model->setTrevikEvalMode(false);
    model->setRamLimitGB(12.6);
    model->setUseVastGaussian(false);
    model->setTrainingCapMax(2500000);
    EXPECT_EQ(rows.count(), 5);  // 12.6 GB reads "13 GB" as 13 did: no change
    EXPECT_EQ(model->settingsSummary(), (SettingRows{{"Model size", "2,500,000"},
                                                     {"Downscale", "4\u00d7"},
                                                     {"Eval", "off"},
                                                     {"Memory limit", "13 GB"},
                                                     {"Partitioning", "off"},
                                                     {"Skip COLMAP", "on"}}));
    model->setSharpnessThreshold(70);  // not a row: no signal
    EXPECT_EQ(rows.count(), 5);
}

struct LocaleCase {
    const char* name;
    QLocale locale;
    const char* modelSize;
};

class ModelSizeLocale : public ViewModelTest, public ::testing::WithParamInterface<LocaleCase> {};

TEST_P(ModelSizeLocale, GroupsDigitsAsTheUsersLocaleDoes) {
    ScopedLocale locale(GetParam().locale);
    auto model = makeViewModel();
    EXPECT_EQ(model->settingsSummary().front().value, GetParam().modelSize);
}

INSTANTIATE_TEST_SUITE_P(Locales, ModelSizeLocale,
                         ::testing::Values(LocaleCase{"english", QLocale(QLocale::English, QLocale::UnitedStates),
                                                      "1,000,000"},
                                           LocaleCase{"german", QLocale(QLocale::German, QLocale::Germany),
                                                      "1.000.000"},
                                           LocaleCase{"swiss", QLocale(QLocale::German, QLocale::Switzerland),
                                                      "1\u2019000\u2019000"},
                                           LocaleCase{"c", QLocale::c(), "1,000,000"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Outcomes ------------------------------------------------------------------------

// A model with a new run's report, as a run's start leaves it.
std::unique_ptr<PipelineViewModel> withReport(std::unique_ptr<PipelineViewModel> model) {
    ModelAccess::beginRunReport(*model, "New run", "Photo folder", model->settingsSummary());
    return model;
}

// What the state-change callback does: publish, then write the report.
void reportState(PipelineViewModel& model, const PipelineState& state) {
    model.setCurrentState(state);
    model.updateRunReport();
}

TEST_F(ViewModelTest, BeginningAReportSavesItRunningAtItsStart) {
    auto model = withReport(makeViewModel());
    EXPECT_TRUE(model->runReportActive());
    const RunReport saved = savedReport();
    EXPECT_EQ(saved.kind, "New run");
    EXPECT_EQ(saved.input, "Photo folder");
    EXPECT_EQ(saved.step, "Starting");
    EXPECT_EQ(saved.outcome, Outcome::running);
    EXPECT_EQ(saved.settings.size(), 5u);
    EXPECT_FALSE(saved.endedAt.has_value());
}

TEST_F(ViewModelTest, CompletedRunIsSavedCompletedAndStaysSoAtItsEnd) {
    auto model = withReport(makeViewModel());
    reportState(*model, Kind::processingSfM);
    EXPECT_EQ(savedReport().step, "Camera poses (COLMAP)");
    reportState(*model, Kind::training);
    model->setTotalCells(4);
    model->setCurrentCellIndex(2);  // the observer names the cell
    EXPECT_EQ(savedReport().step, "Training (cell 2 of 4)");
    reportState(*model, Kind::exporting);
    reportState(*model, Kind::completed);
    model->setIsCancelling(true);  // a cancel that came too late
    ModelAccess::runTrackedOperation(*model, [](std::stop_token) {});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ModelAccess::hasActiveTask(*model); }, 30000));
    const RunReport saved = savedReport();
    EXPECT_EQ(saved.outcome, Outcome::completed);
    EXPECT_EQ(saved.step, "Merging and export");
    EXPECT_TRUE(saved.endedAt.has_value());
    EXPECT_FALSE(saved.error.has_value());
    EXPECT_FALSE(model->runReportActive());
    EXPECT_FALSE(model->hasActiveOperation());
}

TEST_F(ViewModelTest, FailedRunKeepsTheMessageAndTheLastWorkingStep) {
    auto model = withReport(makeViewModel());
    reportState(*model, Kind::processingSfM);
    reportState(*model, PipelineState::error("COLMAP mapper failed"));
    RunReport saved = savedReport();
    EXPECT_EQ(saved.outcome, Outcome::failed);
    EXPECT_EQ(saved.error, "COLMAP mapper failed");
    EXPECT_EQ(saved.step, "Camera poses (COLMAP)");
    EXPECT_TRUE(saved.endedAt.has_value());
    EXPECT_EQ(model->currentStepTitle(), "Camera poses (COLMAP)");
    EXPECT_FALSE(model->isBusy());  // the error state is not busy, report or not
    ModelAccess::runTrackedOperation(*model, [](std::stop_token) {});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ModelAccess::hasActiveTask(*model); }, 30000));
    saved = savedReport();
    EXPECT_EQ(saved.outcome, Outcome::failed);
    EXPECT_EQ(saved.error, "COLMAP mapper failed");
    EXPECT_EQ(model->currentState(), PipelineState::error("COLMAP mapper failed"));
}

TEST_F(ViewModelTest, ErrorWhileCancellingIsACancelAndEndsIdle) {
    auto model = withReport(makeViewModel());
    reportState(*model, Kind::training);
    model->setIsCancelling(true);
    reportState(*model, PipelineState::error("Trainer exited with status -15"));
    RunReport saved = savedReport();
    EXPECT_EQ(saved.outcome, Outcome::cancelled);
    EXPECT_FALSE(saved.error.has_value());
    EXPECT_EQ(saved.step, "Training");
    QSignalSpy states(model.get(), &PipelineViewModel::currentStateChanged);
    ModelAccess::runTrackedOperation(*model, [](std::stop_token) {});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ModelAccess::hasActiveTask(*model); }, 30000));
    EXPECT_EQ(model->currentState(), PipelineState(Kind::idle));
    EXPECT_EQ(states.count(), 1);
    EXPECT_FALSE(model->isCancelling());
    EXPECT_EQ(savedReport().outcome, Outcome::cancelled);
    EXPECT_EQ(savedReport(), saved);  // idle after the end changes nothing
}

TEST_F(ViewModelTest, FailureRecordedBeforeTheCancelBecomesCancelledAtTheEnd) {
    auto model = withReport(makeViewModel());
    reportState(*model, PipelineState::error("Trainer exited with status 1"));
    model->setIsCancelling(true);
    ModelAccess::runTrackedOperation(*model, [](std::stop_token) {});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ModelAccess::hasActiveTask(*model); }, 30000));
    EXPECT_EQ(savedReport().outcome, Outcome::cancelled);
    EXPECT_FALSE(savedReport().error.has_value());
}

TEST_F(ViewModelTest, BodyThatEndsStillRunningIsCancelled) {
    auto model = withReport(makeViewModel());
    std::atomic<int> afterBodyCalls = 0;
    ModelAccess::runTrackedOperation(*model, [](std::stop_token) {}, [&afterBodyCalls] { ++afterBodyCalls; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ModelAccess::hasActiveTask(*model); }, 30000));
    EXPECT_EQ(afterBodyCalls, 1);
    EXPECT_EQ(savedReport().outcome, Outcome::cancelled);
    EXPECT_EQ(savedReport().step, "Starting");
    EXPECT_TRUE(savedReport().endedAt.has_value());
    // After the end, state changes leave the report alone.
    reportState(*model, PipelineState::error("late"));
    EXPECT_EQ(savedReport().outcome, Outcome::cancelled);
}

TEST_F(ViewModelTest, QuitDuringARunCancelsTheReportOnce) {
    auto model = withReport(makeViewModel());
    reportState(*model, Kind::training);
    model->cancelActiveRunReport();
    const RunReport cancelled = savedReport();
    EXPECT_EQ(cancelled.outcome, Outcome::cancelled);
    EXPECT_TRUE(model->runReportActive());
    model->cancelActiveRunReport();
    EXPECT_EQ(savedReport(), cancelled);
    model->setIsCancelling(true);
    reportState(*model, PipelineState::error("Pipeline cancelled."));
    EXPECT_EQ(savedReport().outcome, Outcome::cancelled);
    EXPECT_FALSE(savedReport().error.has_value());
}

TEST_F(ViewModelTest, WithoutAnActiveReportTheHooksDoNothing) {
    auto model = makeViewModel();
    reportState(*model, Kind::training);
    model->cancelActiveRunReport();
    EXPECT_FALSE(std::filesystem::exists(reportFile()));
    EXPECT_FALSE(model->runReport().has_value());
}

TEST_F(ViewModelTest, IdleLeavesTheReportUntouched) {
    auto model = withReport(makeViewModel());
    reportState(*model, Kind::processingSfM);
    const RunReport before = savedReport();
    reportState(*model, Kind::idle);
    EXPECT_EQ(savedReport(), before);
}

TEST_F(ViewModelTest, OneTaskAtATime) {
    auto model = makeViewModel();
    std::atomic<bool> release = false;
    std::atomic<int> secondRan = 0;
    ModelAccess::runTrackedOperation(*model, [&release](std::stop_token) {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    ModelAccess::runTrackedOperation(*model, [&secondRan](std::stop_token) { ++secondRan; });
    release = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ModelAccess::hasActiveTask(*model); }, 30000));
    EXPECT_EQ(secondRan, 0);
}


// The support folder's Logs turns into a file while the run goes on: every
// save fails, whoever the process runs as. The run is not ended by it, and
// the window's log says so once.
TEST_F(ViewModelTest, AReportThatCannotBeSavedIsSaidOnceAndTheRunGoesOn) {
    auto model = makeViewModel();
    model->setHasActiveOperation(true);
    ModelAccess::beginRunReport(*model, "New run", "Photo folder", {});
    ASSERT_TRUE(std::filesystem::exists(reportFile()));
    std::filesystem::remove_all(support_.path() / "Logs");
    writeTextFile(support_.path() / "Logs", "not a folder");

    model->setCurrentState(Kind::processingSfM);
    EXPECT_NO_THROW(model->updateRunReport());
    // As the driver's reports arrive: on the main thread, through the callback.
    const auto callbacks = ManagerAccess::callbacks(*model->pipelineManager());
    callbacks->onStateChange(PipelineState(Kind::training));
    callbacks->onStateChange(PipelineState(Kind::completed));
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->currentState().kind == Kind::completed; }, 30000));
    EXPECT_EQ(model->runReport()->outcome, Outcome::completed);

    const QString logs = model->extractionLog() + model->sfmLog() + model->dataPrepLog() + model->trainingLog() +
                         model->exportLog();
    EXPECT_EQ(logs.count(QStringLiteral("\u26a0")), 1) << logs.toStdString();
    EXPECT_TRUE(model->sfmLog().startsWith(QStringLiteral("\u26a0 Could not save the run report ") +
                                           QString::fromStdString(reportFile().string())))
        << model->sfmLog().toStdString();
    model->setHasActiveOperation(false);
}

}  // namespace
}  // namespace tessaron::testing
