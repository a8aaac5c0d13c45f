#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "core/AtomicFile.hpp"
#include "pipeline/RunReport.hpp"
#include "HostileFiles.hpp"
#include "support/TempDir.hpp"

using namespace tessaron;
using pipeline::RunReport;
using tessaron::testing::TempDir;

namespace {

RunReport runningReport() {
    RunReport report;
    report.kind = "New run";
    report.startedAt = core::Clock::from_time_t(1796618817);  // 2026-12-07T04:46:57Z
    report.input = "Photos: /data/street (120 images)";
    report.settings = {{"Model size", "3M"}, {"Downscale", "2"}};
    report.step = "SfM";
    return report;
}

}  // namespace

TEST(RunReport, EncodesCompactJsonInDeclarationOrderWithoutAbsentKeys) {
    RunReport report = runningReport();
    EXPECT_EQ(report.encode(),
              R"J({"kind":"New run","startedAt":"2026-12-07T04:46:57Z","input":"Photos: /data/street (120 images)",)J"
              R"J("settings":[{"name":"Model size","value":"3M"},{"name":"Downscale","value":"2"}],"step":"SfM","outcome":"running"})J");
    report.outcome = RunReport::Outcome::failed;
    report.error = "COLMAP error: boom";
    report.endedAt = report.startedAt + std::chrono::seconds(150);
    EXPECT_EQ(RunReport::decode(report.encode()), report);
}

// The warnings about a result come last and only when there are some, so
// that a report without them is the same file as before they existed.
TEST(RunReport, KeepsTheRunsWarningsUnderAnOptionalKey) {
    RunReport report = runningReport();
    report.outcome = RunReport::Outcome::completed;
    report.endedAt = report.startedAt + std::chrono::seconds(150);
    report.warnings = {"Model PSNR is very low (<15 dB). Quality may be poor.",
                       "Model PSNR fell below its untrained seeds' — training made it worse. Quality may be poor."};
    const std::string json = report.encode();
    EXPECT_TRUE(json.ends_with(R"J(,"endedAt":"2026-12-07T04:49:27Z","warnings":["Model PSNR is very low (<15 dB). )J"
                               R"J(Quality may be poor.","Model PSNR fell below its untrained seeds' — training made )J"
                               R"J(it worse. Quality may be poor."]})J"))
        << json;
    EXPECT_EQ(RunReport::decode(json), report);

    const std::string withoutWarnings =
        R"({"kind":"k","startedAt":"2026-12-07T04:46:57Z","input":"x","settings":[],"step":"s","outcome":"completed"})";
    EXPECT_TRUE(RunReport::decode(withoutWarnings).warnings.empty());
    EXPECT_THROW(RunReport::decode(R"({"kind":"k","startedAt":"2026-12-07T04:46:57Z","input":"x","settings":[],)"
                                   R"("step":"s","outcome":"completed","warnings":"low"})"),
                 core::Error);
    EXPECT_THROW(RunReport::decode(R"({"kind":"k","startedAt":"2026-12-07T04:46:57Z","input":"x","settings":[],)"
                                   R"("step":"s","outcome":"completed","warnings":[3]})"),
                 core::Error);
}

TEST(RunReport, DecodingRejectsMissingKeysAndWrongTypes) {
    EXPECT_THROW(RunReport::decode("[]"), core::Error);
    EXPECT_THROW(RunReport::decode("not json"), core::Error);
    EXPECT_THROW(RunReport::decode(R"({"kind":"New run","startedAt":"2026-12-07T04:46:57Z","input":"x","settings":[],"step":"s"})"),
                 core::Error);
    EXPECT_THROW(RunReport::decode(R"({"kind":1,"startedAt":"2026-12-07T04:46:57Z","input":"x","settings":[],"step":"s","outcome":"running"})"),
                 core::Error);
    EXPECT_THROW(RunReport::decode(R"({"kind":"k","startedAt":"yesterday","input":"x","settings":[],"step":"s","outcome":"running"})"),
                 core::Error);
    EXPECT_THROW(RunReport::decode(R"({"kind":"k","startedAt":"2026-12-07T04:46:57Z","input":"x","settings":[],"step":"s","outcome":"paused"})"),
                 core::Error);
}

TEST(RunReport, InterruptedRunIsOfferedExactlyOnce) {
    TempDir folder;
    core::InMemoryPreferenceStore defaults;
    RunReport::save(runningReport(), folder.path());
    std::string original = core::readWholeFile(folder / "last_run.json");

    auto offered = RunReport::pendingInterruptedRun(folder.path(), defaults);
    ASSERT_TRUE(offered.has_value());
    EXPECT_EQ(offered->outcome, RunReport::Outcome::interrupted);
    EXPECT_EQ(offered->step, "SfM");
    EXPECT_EQ(defaults.string("reportedInterruptedRun"), "2026-12-07T04:46:57Z New run");
    EXPECT_EQ(RunReport::decode(core::readWholeFile(folder / "last_run.json")).outcome, RunReport::Outcome::interrupted);

    // An untouched copy of the running report is not offered again.
    core::AtomicFile::write(folder / "last_run.json", original);
    EXPECT_FALSE(RunReport::pendingInterruptedRun(folder.path(), defaults).has_value());
}

TEST(RunReport, FinishedOrMissingReportsOfferNothing) {
    TempDir folder;
    core::InMemoryPreferenceStore defaults;
    std::string unreadable;
    EXPECT_FALSE(RunReport::pendingInterruptedRun(folder.path(), defaults, &unreadable).has_value());
    EXPECT_EQ(unreadable, "");  // no report is not a fault
    RunReport report = runningReport();
    report.outcome = RunReport::Outcome::completed;
    RunReport::save(report, folder.path());
    EXPECT_FALSE(RunReport::pendingInterruptedRun(folder.path(), defaults).has_value());
    EXPECT_FALSE(defaults.string("reportedInterruptedRun").has_value());
}

// The launch reads the report before anything else: a FIFO, a device or a
// file of gigabytes in its place is refused at once with the reason, and
// offers nothing. A valid report padded past the cap is refused as well.
TEST(RunReport, OnlyASmallRegularFileIsReadAsTheReport) {
    for (const auto& kind : tessaron::testing::hostileFiles(RunReport::maximumFileBytes, runningReport().encode())) {
        SCOPED_TRACE(kind.name);
        TempDir folder;
        const std::filesystem::path file = folder / "last_run.json";
        kind.make(file);
        core::InMemoryPreferenceStore defaults;
        std::optional<RunReport> offered;
        std::string unreadable;
        EXPECT_TRUE(tessaron::testing::returnsWithin(
            file, [&] { offered = RunReport::pendingInterruptedRun(folder.path(), defaults, &unreadable); }));
        EXPECT_FALSE(offered.has_value());
        EXPECT_THAT(unreadable, ::testing::HasSubstr(file.string()));
        EXPECT_THAT(unreadable, ::testing::HasSubstr(kind.reason));
        EXPECT_FALSE(defaults.string("reportedInterruptedRun").has_value());
        EXPECT_THROW(RunReport::load(folder.path()), core::Error);
    }
}

TEST(RunReport, SaveIntoAnUncreatableFolderSaysWhyAndLeavesNoStaleReport) {
    TempDir folder;
    std::filesystem::path fileInPlaceOfFolder = folder / "plainfile";
    tessaron::testing::writeTextFile(fileInPlaceOfFolder, "x");
    try {
        RunReport::save(runningReport(), fileInPlaceOfFolder);
        FAIL() << "saved";
    } catch (const RunReport::SaveError& error) {
        EXPECT_TRUE(std::string(error.what()).starts_with("Could not save the run report " +
                                                          (fileInPlaceOfFolder / "last_run.json").string() + ": "))
            << error.what();
    }
    EXPECT_EQ(tessaron::testing::readTextFile(fileInPlaceOfFolder), "x");
}

TEST(RunReport, SummaryLines) {
    RunReport report = runningReport();
    report.settings.clear();
    std::string start = core::formatDate(report.startedAt, "%Y-%m-%d %H:%M");
    EXPECT_EQ(report.summary(), "Last run: New run, started " + start + " — still running at SfM\nInput: Photos: /data/street (120 images)");

    report.endedAt = report.startedAt + std::chrono::seconds(20);
    report.outcome = RunReport::Outcome::completed;
    EXPECT_EQ(report.summary(), "Last run: New run, started " + start + ", ran 1 min — completed\nInput: Photos: /data/street (120 images)");

    report.endedAt = report.startedAt + std::chrono::seconds(150);
    report.outcome = RunReport::Outcome::failed;
    report.error = "trevik training failed (exit 1)";
    report.settings = {{"Model size", "3M"}, {"Eval", "on"}};
    EXPECT_EQ(report.summary(), "Last run: New run, started " + start + ", ran 2 min — failed at SfM\n"
                                "Error: trevik training failed (exit 1)\n"
                                "Input: Photos: /data/street (120 images)\n"
                                "Settings: Model size 3M · Eval on");

    report.warnings = {"Model PSNR is very low (<15 dB). Quality may be poor."};
    EXPECT_EQ(report.summary(), "Last run: New run, started " + start + ", ran 2 min — failed at SfM\n"
                                "Error: trevik training failed (exit 1)\n"
                                "Warning: Model PSNR is very low (<15 dB). Quality may be poor.\n"
                                "Input: Photos: /data/street (120 images)\n"
                                "Settings: Model size 3M · Eval on");

    report.error.reset();
    report.outcome = RunReport::Outcome::interrupted;
    EXPECT_NE(report.summary().find(" — Tessaron closed unexpectedly at SfM"), std::string::npos);
}

TEST(RunReport, SettingsSummaryRowsInOrderWithSkipCOLMAPOnlyWhenOn) {
    using Rows = std::vector<RunReport::Setting>;
    EXPECT_EQ(RunReport::settingsSummary({.modelSize = 1000000, .downscale = 0, .eval = false, .ramLimitGB = 12.6}),
              (Rows{{"Model size", "1,000,000"},
                    {"Downscale", "Auto"},
                    {"Eval", "off"},
                    {"Memory limit", "13 GB"},
                    {"Partitioning", "off"}}));
    Rows withSkip = RunReport::settingsSummary(
        {.modelSize = -1234567, .downscale = 4, .eval = true, .ramLimitGB = 4, .partitioning = true, .skipSfM = true});
    EXPECT_EQ(withSkip, (Rows{{"Model size", "-1,234,567"},
                              {"Downscale", "4\u00d7"},
                              {"Eval", "on"},
                              {"Memory limit", "4 GB"},
                              {"Partitioning", "on"},
                              {"Skip COLMAP", "on"}}));
    // A locale's formatter is used; an empty answer falls back to grouped digits.
    auto dots = [](int64_t) { return std::string("1.000"); };
    EXPECT_EQ(RunReport::settingsSummary({.modelSize = 1000}, dots).front().value, "1.000");
    EXPECT_EQ(RunReport::settingsSummary({.modelSize = 999}, [](int64_t) { return std::string(); }).front().value, "999");
}
