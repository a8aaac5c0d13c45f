#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <thread>

#include "engines/LogFileWriter.hpp"
#include "support/TempDir.hpp"

using namespace tessaron::engines;
using tessaron::testing::readTextFile;
using tessaron::testing::TempDir;
using tessaron::testing::writeTextFile;

namespace {

// Closes after every queued write, the way the run log closes its copies.
void flushAndClose(LogFileWriter& writer) {
    writer.queue().sync([&writer] { writer.close(); });
}

}  // namespace

TEST(LogFileWriter, ReplacesAnExistingFileWithTheHeaderThenAppendsLines) {
    TempDir folder;
    const auto path = folder / "run.md";
    writeTextFile(path, "an older log that must disappear\n");
    auto writer = LogFileWriter::create(path, "# Header\n\n");
    ASSERT_NE(writer, nullptr);
    EXPECT_EQ(readTextFile(path), "# Header\n\n");
    writer->write("[SFM] first");
    writer->write("");
    writer->write("caf\xC3\xA9 \xE2\x95\x90\xE2\x95\x90\xE2\x95\x90");
    flushAndClose(*writer);
    EXPECT_EQ(readTextFile(path), "# Header\n\n[SFM] first\n\ncaf\xC3\xA9 \xE2\x95\x90\xE2\x95\x90\xE2\x95\x90\n");
    EXPECT_FALSE(writer->didFail());
}

TEST(LogFileWriter, WritesAfterCloseChangeNothing) {
    TempDir folder;
    const auto path = folder / "run.md";
    auto writer = LogFileWriter::create(path, "H\n");
    writer->write("kept");
    flushAndClose(*writer);
    writer->write("dropped");
    writer->close();
    writer->queue().sync([] {});
    EXPECT_EQ(readTextFile(path), "H\nkept\n");
    EXPECT_FALSE(writer->didFail());
}

TEST(LogFileWriter, ReleasedWriterFinishesItsQueuedWrites) {
    TempDir folder;
    const auto path = folder / "run.md";
    std::ostringstream expected;
    expected << "H\n";
    {
        auto writer = LogFileWriter::create(path, "H\n");
        for (int index = 0; index < 5000; ++index) {
            writer->write("line " + std::to_string(index));
            expected << "line " << index << "\n";
        }
    }
    EXPECT_EQ(readTextFile(path), expected.str());
}

TEST(LogFileWriter, LinesOfEachCallerKeepTheirOrder) {
    TempDir folder;
    const auto path = folder / "run.md";
    auto writer = LogFileWriter::create(path, "");
    {
        std::vector<std::jthread> callers;
        for (int caller = 0; caller < 4; ++caller) {
            callers.emplace_back([&writer, caller] {
                for (int index = 0; index < 500; ++index) writer->write(std::to_string(caller) + " " + std::to_string(index));
            });
        }
    }
    flushAndClose(*writer);
    std::istringstream lines(readTextFile(path));
    std::vector<int> nextIndex(4, 0);
    int caller = 0, index = 0, total = 0;
    while (lines >> caller >> index) {
        ASSERT_GE(caller, 0);
        ASSERT_LT(caller, 4);
        EXPECT_EQ(index, nextIndex[size_t(caller)]++);
        ++total;
    }
    EXPECT_EQ(total, 2000);
}

TEST(LogFileWriter, CannotCreateInAMissingFolder) {
    TempDir folder;
    EXPECT_EQ(LogFileWriter::create(folder / "missing" / "run.md", "H\n"), nullptr);
    EXPECT_FALSE(std::filesystem::exists(folder / "missing"));
}

TEST(LogFileWriter, FailedWriteClosesTheWriterAndIsRecorded) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this machine";
    // A full device refuses the header, so no writer is made...
    EXPECT_EQ(LogFileWriter::create("/dev/full", "H\n"), nullptr);
    // ...and with an empty header the first line fails instead.
    auto writer = LogFileWriter::create("/dev/full", "");
    ASSERT_NE(writer, nullptr);
    EXPECT_FALSE(writer->didFail());
    writer->write("lost");
    writer->queue().sync([] {});
    EXPECT_TRUE(writer->didFail());
    writer->write("dropped without another attempt");
    writer->queue().sync([] {});
    EXPECT_TRUE(writer->didFail());
}

// --- Rotation -------------------------------------------------------------------

struct RotationCase {
    std::string name;
    std::optional<std::string> current;
    std::optional<std::string> previous;
    std::optional<std::string> expectedPrevious;
};

void PrintTo(const RotationCase& value, std::ostream* out) { *out << value.name; }

class LogFileRotation : public ::testing::TestWithParam<RotationCase> {};

TEST_P(LogFileRotation, KeepsTheNewestAndThePreviousLog) {
    TempDir root;
    const auto folder = root / "Tessaron" / "Logs";
    if (GetParam().current) writeTextFile(folder / "current_run.md", *GetParam().current);
    if (GetParam().previous) writeTextFile(folder / "previous_run.md", *GetParam().previous);

    auto writer = LogFileWriter::rotate(folder, "# Tessaron Training Log\n");
    ASSERT_NE(writer, nullptr);
    writer->write("[PREP] new");
    flushAndClose(*writer);

    EXPECT_EQ(readTextFile(folder / "current_run.md"), "# Tessaron Training Log\n[PREP] new\n");
    if (GetParam().expectedPrevious) {
        EXPECT_EQ(readTextFile(folder / "previous_run.md"), *GetParam().expectedPrevious);
    } else {
        EXPECT_FALSE(std::filesystem::exists(folder / "previous_run.md"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Folders, LogFileRotation,
    ::testing::Values(RotationCase{"NeitherLogPresent", std::nullopt, std::nullopt, std::nullopt},
                      RotationCase{"OnlyCurrentPresent", "older run\n", std::nullopt, "older run\n"},
                      RotationCase{"BothPresent", "older run\n", "oldest run\n", "older run\n"},
                      RotationCase{"OnlyPreviousPresent", std::nullopt, "oldest run\n", std::nullopt}),
    [](const auto& info) { return info.param.name; });

TEST(LogFileRotationFailure, FolderThatIsAFileYieldsNoWriter) {
    TempDir root;
    writeTextFile(root / "Logs", "not a folder");
    EXPECT_EQ(LogFileWriter::rotate(root / "Logs", "H\n"), nullptr);
    EXPECT_EQ(readTextFile(root / "Logs"), "not a folder");
}
