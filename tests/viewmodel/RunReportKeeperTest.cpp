// The run report keeper on its own: the report's changes and a save that fails.
#include <gtest/gtest.h>

#include <vector>

#include "support/TempDir.hpp"
#include "viewmodel/RunReportKeeper.hpp"

namespace tessaron::testing {
namespace {

namespace fs = std::filesystem;
using pipeline::PipelineState;
using pipeline::RunReport;
using viewmodel::RunReportKeeper;
using Kind = PipelineState::Kind;
using Outcome = RunReport::Outcome;

TEST(RunReportKeeper, AFolderThatCannotTakeTheReportIsToldOncePerReport) {
    TempDir support("tessaron-viewmodel-keeper");
    std::optional<fs::path> folder = support / "Logs";
    std::vector<std::string> warnings;
    RunReportKeeper keeper([&] { return folder; }, [&](const std::string& line) { warnings.push_back(line); });

    RunReport report = keeper.begin("New run", "Video", {{"Eval", "on"}});
    EXPECT_EQ(report.step, "Starting");
    EXPECT_EQ(report.outcome, Outcome::running);
    keeper.save(report);
    const RunReport saved = RunReport::decode(readTextFile(*folder / RunReport::fileName));
    EXPECT_EQ(saved.kind, "New run");
    EXPECT_EQ(saved.settings, report.settings);
    EXPECT_EQ(saved.outcome, Outcome::running);

    fs::remove_all(*folder);
    writeTextFile(*folder, "not a folder");
    keeper.save(report);
    keeper.save(report);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(warnings[0].starts_with("\u26a0 Could not save the run report ")) << warnings[0];
    // A new report is told again; no folder at all is no failure.
    report = keeper.begin("Resume", "Existing workspace", {});
    keeper.save(report);
    EXPECT_EQ(warnings.size(), 2u);
    folder.reset();
    keeper.begin("Re-merge", "Existing workspace", {});
    keeper.save(report);
    EXPECT_EQ(warnings.size(), 2u);
}

TEST(RunReportKeeper, AStateMovesTheReportOnAndAnErrorWhileCancellingIsACancel) {
    RunReportKeeper keeper([] { return std::nullopt; }, [](const std::string&) {});
    const RunReport started = keeper.begin("New run", "Video", {});
    EXPECT_EQ(RunReportKeeper::advanced(started, PipelineState(Kind::idle), "Idle", false), std::nullopt);

    const auto training = RunReportKeeper::advanced(started, PipelineState(Kind::training), "Training", false);
    ASSERT_TRUE(training);
    EXPECT_EQ(training->step, "Training");
    EXPECT_EQ(training->outcome, Outcome::running);

    const auto failed = RunReportKeeper::advanced(*training, PipelineState::error("boom"), "ignored", false);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->outcome, Outcome::failed);
    EXPECT_EQ(failed->error, "boom");
    EXPECT_EQ(failed->step, "Training");
    EXPECT_TRUE(failed->endedAt);

    const auto cancelled = RunReportKeeper::advanced(*training, PipelineState::error("killed"), "ignored", true);
    ASSERT_TRUE(cancelled);
    EXPECT_EQ(cancelled->outcome, Outcome::cancelled);
    EXPECT_EQ(cancelled->error, std::nullopt);
    EXPECT_EQ(RunReportKeeper::cancelled(*failed).error, std::nullopt);

    const auto completed = RunReportKeeper::advanced(*training, PipelineState(Kind::completed), "Done", false);
    ASSERT_TRUE(completed);
    EXPECT_EQ(completed->outcome, Outcome::completed);
    EXPECT_EQ(completed->step, "Training");
}

}  // namespace
}  // namespace tessaron::testing
