#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/AtomicFile.hpp"
#include "core/DateText.hpp"
#include "core/ResourceLocator.hpp"
#include "core/SerialQueue.hpp"
#include "support/TempDir.hpp"

using namespace tessaron::core;
using tessaron::testing::TempDir;

TEST(SerialQueue, RunsWorkInSubmissionOrderFromManyThreads) {
    SerialQueue queue("test.order");
    std::vector<int> seen;
    for (int index = 0; index < 1000; ++index) queue.async([&seen, index] { seen.push_back(index); });
    queue.sync([] {});
    ASSERT_EQ(seen.size(), 1000u);
    for (int index = 0; index < 1000; ++index) EXPECT_EQ(seen[size_t(index)], index);
}

TEST(SerialQueue, SyncPropagatesExceptionsAndRunsInlineOnItself) {
    SerialQueue queue("test.sync");
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
    bool nestedRan = false;
    queue.sync([&] {
        EXPECT_TRUE(queue.isCurrent());
        queue.sync([&] { nestedRan = true; });
    });
    EXPECT_TRUE(nestedRan);
    EXPECT_FALSE(queue.isCurrent());
    EXPECT_EQ(queue.syncResult<int>([] { return 42; }), 42);
}

TEST(SerialQueue, DestructionRunsQueuedWorkAndSurvivesFailingItems) {
    std::atomic<int> count{0};
    {
        SerialQueue queue("test.drain");
        queue.async([] { throw std::runtime_error("item fails"); });
        for (int index = 0; index < 100; ++index) queue.async([&count] { ++count; });
    }
    EXPECT_EQ(count.load(), 100);
}

TEST(AtomicFile, ReplacesContentsAndLeavesNoTemporary) {
    TempDir folder;
    auto target = folder / "plan.json";
    AtomicFile::write(target, "first");
    AtomicFile::write(target, "second, longer");
    EXPECT_EQ(readWholeFile(target), "second, longer");
    int entries = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator(folder.path())) ++entries;
    EXPECT_EQ(entries, 1);
}

// A writer that is killed leaves its temporary; the writer's process id in
// the name tells that one from a temporary still being written.
TEST(AtomicFile, ATemporaryNamesItsWritersProcess) {
    TempDir folder;
    AtomicFile::Writer writer(folder / "output.ply");
    writer.write("half a merge");
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
        names.push_back(entry.path().filename().string());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(names[0].starts_with(".output.ply.tmp-")) << names[0];
    EXPECT_EQ(AtomicFile::temporaryWriterProcess(names[0]), long(::getpid())) << names[0];
    for (const char* name : {"output.ply", ".output.ply.tmp-0123abcd", ".output.ply.tmp-0-0123abcd",
                             ".output.ply.tmp-12-0123abcg", "output.ply.tmp-12-0123abcd"})
        EXPECT_FALSE(AtomicFile::temporaryWriterProcess(name).has_value()) << name;
}

TEST(AtomicFile, AFileWrittenPieceByPieceArrivesWholeAcrossWritebackSteps) {
    // Pieces of odd sizes over several of the writer's writeback steps, so
    // that handing ranges to the disk early loses or reorders nothing.
    TempDir folder;
    auto target = folder / "scene.splat";
    std::string expected;
    {
        AtomicFile::Writer writer(target);
        for (std::size_t piece = 0; expected.size() < (std::size_t(20) << 20); ++piece) {
            std::string bytes((std::size_t(1) << 20) + piece * 4099, char('a' + piece % 26));
            writer.write(bytes);
            expected += bytes;
        }
        EXPECT_FALSE(std::filesystem::exists(target));
        writer.commit();
    }
    EXPECT_EQ(readWholeFile(target), expected);
}

TEST(AtomicFile, FailedWriteKeepsTheOldFile) {
    if (::geteuid() == 0) {
        // Root ignores folder permissions; use a missing folder instead.
        TempDir folder;
        EXPECT_THROW(AtomicFile::write(folder / "missing/plan.json", "x"), AtomicFile::WriteError);
        return;
    }
    TempDir folder;
    auto target = folder / "plan.json";
    AtomicFile::write(target, "old");
    std::filesystem::permissions(folder.path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    EXPECT_THROW(AtomicFile::write(target, "new"), AtomicFile::WriteError);
    std::filesystem::permissions(folder.path(), std::filesystem::perms::owner_all);
    EXPECT_EQ(readWholeFile(target), "old");
}

TEST(DateText, FormatsAndParsesTheSystemForms) {
    TimePoint when = Clock::from_time_t(1796618817);  // 2026-12-07T04:46:57Z
    EXPECT_EQ(iso8601Text(when), "2026-12-07T04:46:57Z");
    EXPECT_EQ(formatDate(when, "%Y-%m-%d_%H%M%S", TimeZone::utc), "2026-12-07_044657");
    EXPECT_EQ(parseISO8601("2026-12-07T04:46:57Z"), when);
    EXPECT_EQ(parseISO8601("2026-12-07T04:46:57.250Z"), when);
    EXPECT_FALSE(parseISO8601("2026-12-07 04:46:57").has_value());
    EXPECT_FALSE(parseISO8601("2026-13-07T04:46:57Z").has_value());
}

TEST(ResourceLocator, FindsProgramsOnThePath) {
    auto shell = ResourceLocator::findExecutable("sh", true);
    ASSERT_TRUE(shell.has_value());
    EXPECT_TRUE(ResourceLocator::isExecutableFile(*shell));
    EXPECT_FALSE(ResourceLocator::findExecutable("sh", false).has_value());
    EXPECT_FALSE(ResourceLocator::findExecutable("no-such-program-tessaron", true).has_value());
}

TEST(SerialQueue, QueueDestroyedFromItsOwnWorkItemFinishesSafely) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> finished;
    auto finishedFuture = finished.get_future();
    std::atomic<int> laterItems{0};
    auto* queue = new SerialQueue("test.self-destroy");
    // Everything is queued before the first item lets the queue run on.
    queue->async([released] { released.wait(); });
    queue->async([queue] { delete queue; });
    queue->async([&laterItems] { ++laterItems; });
    queue->async([&finished] { finished.set_value(); });
    release.set_value();
    ASSERT_EQ(finishedFuture.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(laterItems.load(), 1);
}
