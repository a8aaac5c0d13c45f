#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/AtomicFile.hpp"
#include "core/RegularFile.hpp"
#include "support/Fifo.hpp"
#include "support/TempDir.hpp"

using namespace tessaron::core;
using tessaron::testing::TempDir;

namespace {

struct Special {
    const char* name;
    std::function<std::filesystem::path(const TempDir&)> make;
    std::string reason;
};

void PrintTo(const Special& special, std::ostream* stream) { *stream << special.name; }

class NotARegularFile : public ::testing::TestWithParam<Special> {};

}  // namespace

TEST_P(NotARegularFile, IsRefusedAtOnceWithWhatItIs) {
    TempDir folder;
    const auto path = GetParam().make(folder);
    RegularFile::openForReading(path);  // warm-up: never blocks
    EXPECT_TRUE(tessaron::testing::returnsWithin(path, [&] {
        auto file = RegularFile::openForReading(path);
        EXPECT_FALSE(file.isOpen());
        EXPECT_EQ(file.error().message(), GetParam().reason);
    }));
    try {
        readWholeFile(path);
        FAIL() << "read " << path;
    } catch (const Error& error) {
        EXPECT_EQ(std::string(error.what()), "Could not read " + path.string() + ": " + GetParam().reason);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, NotARegularFile,
    ::testing::Values(Special{"Fifo",
                              [](const TempDir& folder) {
                                  tessaron::testing::makeFifo(folder / "input.ply");
                                  return folder / "input.ply";
                              },
                              "is a FIFO, not a regular file"},
                      Special{"EndlessDevice", [](const TempDir&) { return std::filesystem::path("/dev/zero"); },
                              "is a character device, not a regular file"},
                      Special{"Folder", [](const TempDir& folder) { return folder.path(); }, "Is a directory"},
                      Special{"Missing", [](const TempDir& folder) { return folder / "absent"; },
                              "No such file or directory"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RegularFile, OpensARegularFileWithItsSizeAndBlockingReads) {
    TempDir folder;
    tessaron::testing::writeTextFile(folder / "a.txt", "twelve bytes");
    auto file = RegularFile::openForReading(folder / "a.txt");
    ASSERT_TRUE(file.isOpen());
    EXPECT_EQ(file.size(), 12u);
    EXPECT_FALSE(::fcntl(file.descriptor(), F_GETFL) & O_NONBLOCK);
    // Files of /proc report no size but end.
    EXPECT_NE(readWholeFile("/proc/self/status").find("Name:"), std::string::npos);
}

TEST(AtomicFile, ReadingRefusesAFileAboveItsBound) {
    TempDir folder;
    tessaron::testing::writeTextFile(folder / "plan.json", std::string(101, 'x'));
    EXPECT_EQ(readWholeFile(folder / "plan.json", 101).size(), 101u);
    try {
        readWholeFile(folder / "plan.json", 100);
        FAIL();
    } catch (const Error& error) {
        EXPECT_EQ(std::string(error.what()), "Could not read " + (folder / "plan.json").string() +
                                                 ": it holds 101 bytes, more than the 100 such a file can have");
    }
}

TEST(AtomicFile, AStreamedWriteShowsOnlyWhenCommitted) {
    TempDir folder;
    const auto target = folder / "model.ply";
    tessaron::testing::writeTextFile(target, "original");
    {
        AtomicFile::Writer writer(target);
        writer.write("half a");
        EXPECT_EQ(tessaron::testing::readTextFile(target), "original");
    }  // dropped: abandoned
    EXPECT_EQ(tessaron::testing::readTextFile(target), "original");
    {
        AtomicFile::Writer writer(target);
        writer.write("new ");
        writer.write("contents");
        writer.commit();
        EXPECT_TRUE(writer.isFinished());
    }
    EXPECT_EQ(tessaron::testing::readTextFile(target), "new contents");
    int entries = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator(folder.path())) ++entries;
    EXPECT_EQ(entries, 1);
    EXPECT_THROW(AtomicFile::Writer(folder / "missing-folder" / "x"), AtomicFile::WriteError);
}

TEST(AtomicFile, ALinkIsFollowedAndAFifoOrDeviceIsNeverReplaced) {
    TempDir folder;
    tessaron::testing::writeTextFile(folder / "model.ply", "old");
    std::filesystem::create_symlink(folder / "model.ply", folder / "link.ply");
    AtomicFile::write(folder / "link.ply", "new");
    EXPECT_TRUE(std::filesystem::is_symlink(folder / "link.ply"));
    EXPECT_EQ(tessaron::testing::readTextFile(folder / "model.ply"), "new");

    tessaron::testing::makeFifo(folder / "fifo.ply");
    for (const auto& target : {folder / "fifo.ply", std::filesystem::path("/dev/null")}) {
        try {
            AtomicFile::write(target, "bytes");
            FAIL() << target;
        } catch (const AtomicFile::WriteError& error) {
            EXPECT_EQ(error.code().category(), fileKindCategory()) << error.what();
        }
    }
    EXPECT_EQ(std::filesystem::status(folder / "fifo.ply").type(), std::filesystem::file_type::fifo);
    EXPECT_EQ(std::filesystem::status("/dev/null").type(), std::filesystem::file_type::character);
}

// A workspace's own names: a link planted there is replaced by the new file,
// and what it names elsewhere keeps its bytes and its mode, whether the link
// leads to a file, to nothing, or to a FIFO.
TEST(AtomicFile, AWorkspaceNameReplacesALinkAndNeverTouchesItsTarget) {
    TempDir workspace;
    TempDir elsewhere;
    tessaron::testing::writeTextFile(elsewhere / "private.ply", "the user's file");
    std::filesystem::permissions(elsewhere / "private.ply", std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    tessaron::testing::makeFifo(elsewhere / "fifo");
    using Links = AtomicFile::LinkAtTarget;
    for (const auto& target : {elsewhere / "private.ply", elsewhere / "missing.ply", elsewhere / "fifo"}) {
        SCOPED_TRACE(target.string());
        const auto name = workspace / "output.ply";
        std::filesystem::remove(name);
        std::filesystem::create_symlink(target, name);
        AtomicFile::write(name, "the model", Links::replace);
        EXPECT_FALSE(std::filesystem::is_symlink(name));
        EXPECT_EQ(tessaron::testing::readTextFile(name), "the model");
    }
    EXPECT_EQ(tessaron::testing::readTextFile(elsewhere / "private.ply"), "the user's file");
    EXPECT_EQ(std::filesystem::status(elsewhere / "private.ply").permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_FALSE(std::filesystem::exists(elsewhere / "missing.ply"));
    EXPECT_EQ(std::filesystem::status(elsewhere / "fifo").type(), std::filesystem::file_type::fifo);

    // A streamed write does the same; a real FIFO at the name itself is still refused.
    std::filesystem::remove(workspace / "output.ply");
    std::filesystem::create_symlink(elsewhere / "private.ply", workspace / "output.ply");
    {
        AtomicFile::Writer writer(workspace / "output.ply", Links::replace);
        writer.write("streamed");
        writer.commit();
    }
    EXPECT_EQ(tessaron::testing::readTextFile(workspace / "output.ply"), "streamed");
    EXPECT_EQ(tessaron::testing::readTextFile(elsewhere / "private.ply"), "the user's file");
    tessaron::testing::makeFifo(workspace / "fifo.ply");
    EXPECT_THROW(AtomicFile::write(workspace / "fifo.ply", "bytes", Links::replace), AtomicFile::WriteError);
}
