#include <gtest/gtest.h>

#include <QSettings>

#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "pipeline/RunReport.hpp"
#include "support/Fifo.hpp"
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

struct UnusableFile {
    const char* name;
    std::function<void(const std::filesystem::path& file)> make;
    const char* reason;
};

void PrintTo(const UnusableFile& file, std::ostream* out) { *out << file.name; }

class UnusableSettingsFile : public ::testing::TestWithParam<UnusableFile> {};

// A settings file (or its lock file) that is no regular file is left alone:
// reads never wait on it, writes never replace it, values live in memory
// until the process ends, and the reason is told.
TEST_P(UnusableSettingsFile, IsLeftAloneAndTheStoreKeepsValuesInMemory) {
    TempDir folder("tessaron-settings");
    const std::filesystem::path file = folder / "Tessaron/Tessaron.conf";
    std::filesystem::create_directories(file.parent_path());
    GetParam().make(file);
    const auto kindBefore = std::filesystem::symlink_status(file).type();
    SettingsPreferenceStore store(file);
    std::optional<std::string> read;
    ASSERT_TRUE(returnsWithin(file, [&] { read = store.string(SettingsPreferenceStore::laterBuildKey); }));
    EXPECT_FALSE(read.has_value());
    ASSERT_TRUE(store.refusal().has_value());
    EXPECT_NE(store.refusal()->find(GetParam().reason), std::string::npos) << *store.refusal();
    EXPECT_NE(store.refusal()->find("Tessaron starts with its default settings"), std::string::npos);
    store.setString(SettingsPreferenceStore::laterBuildKey, "42");
    EXPECT_EQ(store.string(SettingsPreferenceStore::laterBuildKey), "42");
    EXPECT_EQ(std::filesystem::symlink_status(file).type(), kindBefore);
    if (std::filesystem::is_symlink(file)) {
        EXPECT_TRUE(std::filesystem::is_character_file(std::filesystem::read_symlink(file)));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, UnusableSettingsFile,
    ::testing::Values(
        UnusableFile{"Fifo", [](const std::filesystem::path& file) { makeFifo(file); },
                     "Tessaron.conf is a FIFO, not a regular file"},
        UnusableFile{"LinkToACharacterDevice",
                     [](const std::filesystem::path& file) {
                         // A device node of its own where allowed (root), so that a
                         // store that wrote through the link could not replace /dev/null.
                         std::filesystem::path device = file.parent_path() / "null-device";
                         if (::mknod(device.c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0) device = "/dev/null";
                         std::filesystem::create_symlink(device, file);
                     },
                     "Tessaron.conf is a character device, not a regular file"},
        UnusableFile{"FifoLockFile",
                     [](const std::filesystem::path& file) {
                         std::filesystem::path lock = file;
                         makeFifo(lock += ".lock");
                     },
                     "Tessaron.conf.lock is a FIFO, not a regular file"},
        UnusableFile{"FolderIsAFile",
                     [](const std::filesystem::path& file) {
                         std::filesystem::remove(file.parent_path());
                         writeTextFile(file.parent_path(), "");
                     },
                     "Tessaron.conf cannot be used: Not a directory"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SettingsPreferenceStore, ALinkToARegularFileIsUsed) {
    TempDir folder("tessaron-settings");
    writeTextFile(folder / "kept.conf", "[General]\nlaterBuild=7\n");
    std::filesystem::create_symlink(folder / "kept.conf", folder / "Tessaron.conf");
    SettingsPreferenceStore store(folder / "Tessaron.conf");
    EXPECT_EQ(store.string(SettingsPreferenceStore::laterBuildKey), "7");
    EXPECT_FALSE(store.refusal().has_value());
}

}  // namespace
}  // namespace tessaron::testing
