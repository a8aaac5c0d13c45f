#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

// GCC 12 warns about std::regex internals (maybe-uninitialized) when the
// sanitizers are on: a known false positive.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include "pipeline/ApplicationSupport.hpp"
#include "pipeline/PipelineManager.hpp"
#include "pipeline/RunLog.hpp"
#include "pipeline/RunLogHeader.hpp"
#include "PipelineTestSupport.hpp"
#include "support/TempDir.hpp"

using namespace tessaron;
using pipeline::PipelineLogStep;
using pipeline::PipelineManager;
using pipeline::RunLogHeader;
using tessaron::testing::ManagerAccess;
using tessaron::testing::readTextFile;
using tessaron::testing::RunRecorder;
using tessaron::testing::TempDir;
using tessaron::testing::testConfiguration;
using tessaron::testing::writeTextFile;
namespace fs = std::filesystem;

namespace {

class RunLog : public ::testing::Test {
protected:
    void SetUp() override {
        manager_ = PipelineManager::create({}, testConfiguration(folder_ / "support"));
        recorder_.attach(*manager_);
    }

    fs::path current() const { return folder_ / "support" / "Logs" / "current_run.md"; }
    fs::path previous() const { return folder_ / "support" / "Logs" / "previous_run.md"; }

    std::vector<fs::path> workspaceLogs() const {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(workspace_ / "Tessaron_logs")) files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        return files;
    }

    // The header's seven lines, then the body.
    static std::string bodyOf(const std::string& text) {
        const std::string separator = "\n---\n\n";
        size_t at = text.find(separator);
        return at == std::string::npos ? "<no header>" : text.substr(at + separator.size());
    }

    TempDir folder_;
    fs::path workspace_ = folder_ / "workspace";
    std::shared_ptr<PipelineManager> manager_;
    RunRecorder recorder_;
};

// A folder whose entries cannot be removed or made until it is dropped:
// read-only, and for root (whom permissions do not stop) immutable where
// the file system has that attribute.
class LockedFolder {
public:
    explicit LockedFolder(const fs::path& folder) : folder_(folder) {
        fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec);
        if (::geteuid() == 0) immutable_ = setImmutable(true);
        // Whether it holds, and the system's reason when it does.
        if (::mkdir((folder_ / "probe").c_str(), 0700) == 0)
            ::rmdir((folder_ / "probe").c_str());
        else
            refusal_ = errno;
    }
    ~LockedFolder() {
        if (immutable_) setImmutable(false);
        fs::permissions(folder_, fs::perms::owner_all);
    }
    LockedFolder(const LockedFolder&) = delete;
    LockedFolder& operator=(const LockedFolder&) = delete;

    // The errno of a refused change; 0 when the folder could not be locked.
    int refusal() const { return refusal_; }

private:
    bool setImmutable(bool on) {
        const int descriptor = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (descriptor < 0) return false;
        int flags = 0;
        bool done = ::ioctl(descriptor, FS_IOC_GETFLAGS, &flags) == 0;
        if (done) {
            flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
            done = ::ioctl(descriptor, FS_IOC_SETFLAGS, &flags) == 0;
        }
        ::close(descriptor);
        return done;
    }

    fs::path folder_;
    bool immutable_ = false;
    int refusal_ = 0;
};

}  // namespace

TEST(RunLogHeader, HeaderLines) {
    RunLogHeader header;
    header.started = core::Clock::from_time_t(1796618817);  // 2026-12-07T04:46:57Z
    header.version = "0.1.0";
    header.build = "1";
    header.gpuName = "unknown GPU";
    header.memoryGB = 31;
    header.operatingSystem = "Debian GNU/Linux 12 (bookworm)";
    EXPECT_EQ(header.text(),
              "# Tessaron Training Log\n\nStarted: 2026-12-07 04:46:57 +0000\n"
              "Build: 0.1.0 (1) | GPU: unknown GPU | RAM: 31 GB | OS: Debian GNU/Linux 12 (bookworm)\n\n---\n\n");
    header.version.clear();
    header.build.clear();
    EXPECT_THAT(header.text(), ::testing::HasSubstr("Build: ? (?) | GPU:"));
}

TEST(RunLogHeader, CurrentHeaderDescribesThisMachine) {
    std::string text = RunLogHeader::current().text();
    EXPECT_TRUE(std::regex_search(text, std::regex("^# Tessaron Training Log\n\nStarted: \\d{4}-\\d\\d-\\d\\d "
                                                   "\\d\\d:\\d\\d:\\d\\d \\+0000\nBuild: [^ ]+ \\([^)]+\\) \\| GPU: .+ "
                                                   "\\| RAM: \\d+ GB \\| OS: .+\n\n---\n\n$")))
        << text;
}

TEST(RunLogHeader, PrettyNameOfOSRelease) {
    EXPECT_EQ(RunLogHeader::prettyName("NAME=\"Debian\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n"),
              "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(RunLogHeader::prettyName("PRETTY_NAME='Arch Linux'"), "Arch Linux");
    EXPECT_EQ(RunLogHeader::prettyName("PRETTY_NAME=Plain"), "Plain");
    EXPECT_EQ(RunLogHeader::prettyName("PRETTY_NAME=\"Say \\\"hi\\\"\""), "Say \"hi\"");
    EXPECT_FALSE(RunLogHeader::prettyName("NAME=Debian\n").has_value());
    EXPECT_FALSE(RunLogHeader::prettyName("PRETTY_NAME=\"\"").has_value());
}

TEST(RunLogHeader, WorkspaceFileNameAndUUID) {
    std::string uuid = RunLogHeader::newUUIDText();
    EXPECT_TRUE(std::regex_match(uuid, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
        << uuid;
    EXPECT_NE(uuid, RunLogHeader::newUUIDText());
    core::TimePoint now = core::Clock::now();
    EXPECT_EQ(RunLogHeader::workspaceLogFileName(now, "0A1B2C3D-0000"),
              core::fileStampText(now) + "_0A1B2C_training.md");
}

TEST(ApplicationSupport, XDGDataHomeThenHome) {
    EXPECT_EQ(pipeline::applicationSupportFolder("/data", "/home/ana"), fs::path("/data/Tessaron"));
    EXPECT_EQ(pipeline::applicationSupportFolder("relative", "/home/ana"), fs::path("/home/ana/.local/share/Tessaron"));
    EXPECT_EQ(pipeline::applicationSupportFolder(nullptr, "/home/ana"), fs::path("/home/ana/.local/share/Tessaron"));
    EXPECT_FALSE(pipeline::applicationSupportFolder(nullptr, nullptr).has_value());
    EXPECT_EQ(pipeline::logFolder("/data/Tessaron"), fs::path("/data/Tessaron/Logs"));
}

TEST_F(RunLog, BothCopiesGetTheSameHeaderAndTaggedLines) {
    ManagerAccess::startLog(*manager_, workspace_);
    ManagerAccess::log(*manager_, PipelineLogStep::sfm, "Feature extraction");
    ManagerAccess::log(*manager_, PipelineLogStep::export_, "");
    ManagerAccess::log(*manager_, PipelineLogStep::dataPrep, "two\nlines");
    ManagerAccess::closeLog(*manager_);

    ASSERT_EQ(workspaceLogs().size(), 1u);
    const fs::path copy = workspaceLogs()[0];
    EXPECT_EQ(recorder_.logFiles(), std::vector<fs::path>{copy});
    EXPECT_EQ(manager_->logFileURL(), copy);
    EXPECT_TRUE(std::regex_match(copy.filename().string(),
                                 std::regex("\\d{4}-\\d\\d-\\d\\d_\\d{6}_[0-9A-F]{6}_training\\.md")));

    const std::string text = readTextFile(copy);
    EXPECT_EQ(readTextFile(current()), text);
    EXPECT_TRUE(text.starts_with("# Tessaron Training Log\n\nStarted: "));
    EXPECT_EQ(bodyOf(text), "[SFM] Feature extraction\n[EXPORT] \n[PREP] two\nlines\n");
    EXPECT_EQ(recorder_.texts(), (std::vector<std::string>{"Feature extraction", "", "two\nlines"}));
}

// The owner sets its handler once; each operation writes each of its lines
// once to its own workspace copy, once to current_run.md and once to the
// handler, however many operations came before.
TEST_F(RunLog, ThreeOperationsOnOneHandlerWriteEachLineOnce) {
    fs::create_directories(workspace_);
    for (int operation = 0; operation < 3; ++operation) manager_->remergeExistingCells({.workspaceURL = workspace_});

    const std::string missing = "⚠ No COLMAP data at " + (workspace_ / "colmap" / "sparse" / "0").string();
    const std::string body = "[EXPORT] ═══ Re-merge existing cells ═══\n[EXPORT] Workspace: " + workspace_.string() +
                             "\n[EXPORT] Downscale: 2x, capMax: 1000000\n[EXPORT] " + missing + "\n";
    EXPECT_EQ(bodyOf(readTextFile(current())), body);
    EXPECT_EQ(bodyOf(readTextFile(previous())), body);
    ASSERT_EQ(workspaceLogs().size(), 3u);
    for (const fs::path& copy : workspaceLogs()) EXPECT_EQ(bodyOf(readTextFile(copy)), body);
    const std::vector<std::string> texts = recorder_.texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), missing), 3);
    EXPECT_EQ(texts.size(), 12u);
}

TEST_F(RunLog, AFileInPlaceOfTheLogFolderSendsLinesOnlyToTheSupportCopyAndSaysSo) {
    writeTextFile(workspace_ / "Tessaron_logs", "in the way");
    ManagerAccess::startLog(*manager_, workspace_);
    ManagerAccess::log(*manager_, PipelineLogStep::sfm, "still logged");
    ManagerAccess::closeLog(*manager_);

    const std::string warning = "⚠ The run log could not be created in " + (workspace_ / "Tessaron_logs").string() + ".";
    EXPECT_TRUE(recorder_.logFiles().empty());
    EXPECT_FALSE(manager_->logFileURL().has_value());
    EXPECT_EQ(readTextFile(workspace_ / "Tessaron_logs"), "in the way");
    EXPECT_EQ(bodyOf(readTextFile(current())), "[EXTRACT] " + warning + "\n[SFM] still logged\n");
    EXPECT_EQ(recorder_.texts(), (std::vector<std::string>{warning, "still logged"}));
}

// A link that carries the log folder out of the workspace and cannot be
// removed: the workspace gets no copy, the reason is said, and nothing is
// written where the link leads.
TEST_F(RunLog, AnOutwardLogFolderLinkThatCannotBeRemovedLeavesNoCopyAndSaysWhy) {
    const fs::path elsewhere = folder_ / "elsewhere";
    fs::create_directories(elsewhere);
    fs::create_directories(workspace_);
    fs::create_symlink(elsewhere, workspace_ / "Tessaron_logs");
    std::string reason;
    {
        LockedFolder locked(workspace_);
        if (locked.refusal() == 0) GTEST_SKIP() << "the workspace folder cannot be locked on this file system";
        reason = std::generic_category().message(locked.refusal());
        ManagerAccess::startLog(*manager_, workspace_);
        ManagerAccess::log(*manager_, PipelineLogStep::sfm, "still logged");
        ManagerAccess::closeLog(*manager_);
    }
    const std::string warning = "⚠ The run log could not be created in " + (workspace_ / "Tessaron_logs").string() +
                                ": the link there, which leads out of the workspace, could not be removed (" + reason +
                                ").";
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_TRUE(recorder_.logFiles().empty());
    EXPECT_FALSE(manager_->logFileURL().has_value());
    EXPECT_EQ(recorder_.texts(), (std::vector<std::string>{warning, "still logged"}));
    EXPECT_EQ(bodyOf(readTextFile(current())), "[EXTRACT] " + warning + "\n[SFM] still logged\n");
}

TEST_F(RunLog, WithNeitherCopyMessagesStillReachTheHandler) {
    auto manager = PipelineManager::create({}, testConfiguration(folder_ / "blocked"));
    writeTextFile(folder_ / "blocked", "a file where the support folder belongs");
    writeTextFile(workspace_ / "Tessaron_logs", "in the way");
    RunRecorder recorder;
    recorder.attach(*manager);
    ManagerAccess::startLog(*manager, workspace_);
    ManagerAccess::log(*manager, PipelineLogStep::sfm, "only here");
    ManagerAccess::closeLog(*manager);
    EXPECT_EQ(recorder.texts(), (std::vector<std::string>{
                                    "⚠ The run log could not be created in " + (folder_ / "blocked" / "Logs").string() + ".",
                                    "⚠ The run log could not be created in " + (workspace_ / "Tessaron_logs").string() + ".",
                                    "only here"}));
}

TEST_F(RunLog, AfterCloseMessagesReachTheHandlerButNoFile) {
    ManagerAccess::startLog(*manager_, workspace_);
    ManagerAccess::log(*manager_, PipelineLogStep::training, "during");
    ManagerAccess::closeLog(*manager_);
    ManagerAccess::log(*manager_, PipelineLogStep::training, "late line of a child");

    EXPECT_EQ(bodyOf(readTextFile(current())), "[TRAIN] during\n");
    EXPECT_EQ(bodyOf(readTextFile(workspaceLogs()[0])), "[TRAIN] during\n");
    EXPECT_EQ(recorder_.texts(), (std::vector<std::string>{"during", "late line of a child"}));
}

TEST_F(RunLog, LinesFromManyThreadsAllArriveInBothCopies) {
    ManagerAccess::startLog(*manager_, workspace_);
    {
        std::vector<std::jthread> threads;
        for (int thread = 0; thread < 4; ++thread)
            threads.emplace_back([&, thread] {
                for (int line = 0; line < 250; ++line)
                    ManagerAccess::log(*manager_, PipelineLogStep::training,
                                       std::to_string(thread) + ":" + std::to_string(line));
            });
    }
    ManagerAccess::closeLog(*manager_);
    const std::string body = bodyOf(readTextFile(current()));
    EXPECT_EQ(std::count(body.begin(), body.end(), '\n'), 1000);
    EXPECT_EQ(bodyOf(readTextFile(workspaceLogs()[0])).size(), body.size());
}

// The run log on its own: without a support folder only the workspace keeps
// a copy, and every message reaches the handler, open or not.
TEST(RunLogFiles, WithoutASupportFolderOnlyTheWorkspaceCopyIsWritten) {
    TempDir folder;
    std::vector<std::string> messages;
    std::vector<fs::path> ready;
    pipeline::RunLog log(std::nullopt,
                         {[&](PipelineLogStep step, const std::string& text) {
                              messages.push_back(pipeline::tag(step) + " " + text);
                          },
                          [&](const fs::path& file) { ready.push_back(file); }});
    EXPECT_FALSE(log.folder().has_value());
    log.message(PipelineLogStep::sfm, "before");
    log.open(folder / "workspace");
    log.message(PipelineLogStep::training, "during");
    log.close();
    log.close();
    log.message(PipelineLogStep::export_, "after");

    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(log.fileURL(), ready[0]);
    EXPECT_EQ(ready[0].parent_path(), folder / "workspace" / "Tessaron_logs");
    const std::string text = readTextFile(ready[0]);
    EXPECT_TRUE(text.starts_with("# Tessaron Training Log\n")) << text;
    EXPECT_TRUE(text.ends_with("\n---\n\n[TRAIN] during\n")) << text;
    EXPECT_EQ(messages, (std::vector<std::string>{"SFM before", "TRAIN during", "EXPORT after"}));

    // A second open starts a new file and leaves the first as it was.
    log.open(folder / "workspace");
    log.close();
    ASSERT_EQ(ready.size(), 2u);
    EXPECT_NE(ready[1], ready[0]);
    EXPECT_EQ(readTextFile(ready[0]), text);
}
