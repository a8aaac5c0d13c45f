#include <gtest/gtest.h>

#include <QSettings>

#include <filesystem>

#include "pipeline/RunReport.hpp"
#include "support/TempDir.hpp"
#include "viewmodel/SettingsPreferenceStore.hpp"
#include "viewmodel/ViewModelTestSupport.hpp"

namespace tessaron::testing {
namespace {

using viewmodel::SettingsPreferenceStore;

TEST(SettingsPreferenceStore, ValuesPersistInTheApplicationsSettingsFile) {
    SettingsPreferenceStore writer;
    EXPECT_FALSE(writer.string("laterBuild").has_value());
    writer.setString(SettingsPreferenceStore::laterBuildKey, "42");
    writer.setString(SettingsPreferenceStore::leftMenuWidthKey, "512.5");
    SettingsPreferenceStore reader;
    EXPECT_EQ(reader.string("laterBuild"), "42");
    EXPECT_EQ(reader.string("leftMenuWidth"), "512.5");
    EXPECT_FALSE(reader.string("checkForUpdates").has_value());  // the caller's default applies

    QSettings settings("Tessaron", "Tessaron");
    settings.sync();
    const std::filesystem::path file = settings.fileName().toStdString();
    EXPECT_EQ(file, PrivateUserFolders::configFolder() / "Tessaron" / "Tessaron.conf");
    EXPECT_NE(readTextFile(file).find("laterBuild=42"), std::string::npos);
}

TEST(SettingsPreferenceStore, RemembersTheInterruptedRunItOffered) {
    TempDir logs("tessaron-logs");
    pipeline::RunReport report;
    report.kind = "New run";
    report.startedAt = core::Clock::now();
    report.input = "Video";
    pipeline::RunReport::save(report, logs.path());
    SettingsPreferenceStore store;
    auto offered = pipeline::RunReport::pendingInterruptedRun(logs.path(), store);
    ASSERT_TRUE(offered.has_value());
    EXPECT_EQ(offered->outcome, pipeline::RunReport::Outcome::interrupted);
    EXPECT_TRUE(SettingsPreferenceStore().string(SettingsPreferenceStore::reportedInterruptedRunKey).has_value());
    SettingsPreferenceStore later;
    EXPECT_FALSE(pipeline::RunReport::pendingInterruptedRun(logs.path(), later).has_value());
}

}  // namespace
}  // namespace tessaron::testing
