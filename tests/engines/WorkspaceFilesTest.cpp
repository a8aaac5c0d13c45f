#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <system_error>
#include <sys/wait.h>
#include <unistd.h>

#include "support/ModelFixtures.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "engines/WorkspaceFiles.hpp"
#include "support/TempDir.hpp"

using namespace tessaron::colmap;
using namespace tessaron::engines;
using tessaron::testing::readTextFile;
using tessaron::testing::TempDir;
using tessaron::testing::writeTextFile;

namespace {

std::string gaussianPLY(int vertexCount) {
    std::string header = "ply\nformat binary_little_endian 1.0\nelement vertex " + std::to_string(vertexCount) + "\n";
    for (const char* name : {"x", "y", "z", "f_dc_0", "f_dc_1", "f_dc_2", "opacity", "scale_0", "scale_1", "scale_2",
                             "rot_0", "rot_1", "rot_2", "rot_3"})
        header += std::string("property float ") + name + "\n";
    return header + "end_header\n" + std::string(size_t(vertexCount) * 56, '\1');
}

tessaron::core::TimePoint localTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    parts.tm_isdst = -1;
    return tessaron::core::Clock::from_time_t(std::mktime(&parts));
}

}  // namespace

TEST(WorkspaceFiles, ThreeWorkspacesInOneSecondGetPlainStampedAndCountedNames) {
    TempDir folder;
    auto now = localTime(2025, 3, 14, 9, 26, 53);
    EXPECT_EQ(WorkspaceFiles::createWorkspaceFolder(folder.path(), now), folder / "Tessaron_workspace");
    EXPECT_EQ(WorkspaceFiles::createWorkspaceFolder(folder.path(), now),
              folder / "Tessaron_workspace 2025-03-14 09.26.53");
    EXPECT_EQ(WorkspaceFiles::createWorkspaceFolder(folder.path(), now),
              folder / "Tessaron_workspace 2025-03-14 09.26.53 2");
    EXPECT_EQ(WorkspaceFiles::createWorkspaceFolder(folder.path(), now),
              folder / "Tessaron_workspace 2025-03-14 09.26.53 3");
    for (const char* name : {"Tessaron_workspace", "Tessaron_workspace 2025-03-14 09.26.53 3"})
        EXPECT_TRUE(std::filesystem::is_directory(folder / name));
}

TEST(WorkspaceFiles, WorkspaceInAMissingFolderFailsAndCreatesNothing) {
    TempDir folder;
    try {
        WorkspaceFiles::createWorkspaceFolder(folder / "gone");
        FAIL();
    } catch (const WorkspaceFiles::FileError& error) {
        EXPECT_TRUE(error.isNoSuchFile());
    }
    EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
}

TEST(WorkspaceFiles, RemoveIfExistsTakesFilesAndTreesAndIgnoresMissingOnes) {
    TempDir folder;
    EXPECT_NO_THROW(WorkspaceFiles::removeItemIfExists(folder / "never-there"));
    writeTextFile(folder / "tree/a/b.txt", "x");
    writeTextFile(folder / "file.ply", "x");
    WorkspaceFiles::removeItemIfExists(folder / "tree");
    WorkspaceFiles::removeItemIfExists(folder / "file.ply");
    EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
}

// The temporaries a killed engine or atomic writer left stay behind,
// hundreds of MB for a large cell or a merged model: only ours, and only
// when their process is gone, are removed; one that cannot be removed is
// reported and the others still go.
TEST(WorkspaceFiles, StaleTemporariesOfProcessesThatAreGoneAreRemoved) {
    TempDir cell;
    const pid_t gone = ::fork();
    ASSERT_GE(gone, 0);
    if (gone == 0) ::_exit(0);
    ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
    const std::string stale = ".output.partial.ply." + std::to_string(gone) + ".tmp";
    const std::string staleMerge = ".output.ply.tmp-" + std::to_string(gone) + "-0123abcd";
    const std::string live = ".output.partial.ply." + std::to_string(::getpid()) + ".tmp";
    const std::string liveMerge = ".output.ply.tmp-" + std::to_string(::getpid()) + "-89abcdef";
    const std::vector<std::string> others = {".output.partial.ply.12x.tmp", "output.partial.ply.1.tmp",
                                             ".output.partial.ply..tmp", ".output.ply.99999.tmp", "output.partial.ply",
                                             ".output.ply.tmp-0123abcd", ".output.ply.tmp-99999-0123abc",
                                             "output.ply.tmp-99999-0123abcd", ".output.ply.tmp-x9-0123abcd"};
    writeTextFile(cell / stale, "half a model");
    writeTextFile(cell / staleMerge, "half a merge");
    writeTextFile(cell / live, "being written");
    writeTextFile(cell / liveMerge, "being merged");
    for (const std::string& name : others) writeTextFile(cell / name, "not ours");
    // A link of that name goes, and what it names stays.
    TempDir elsewhere;
    writeTextFile(elsewhere / "kept", "kept");
    const std::string linkName = ".output.partial.ply.999999999.tmp";
    std::filesystem::create_symlink(elsewhere / "kept", cell / linkName);
    // A folder of that name cannot be unlinked, not even by root.
    const std::string folderName = ".partition_plan.json.tmp-" + std::to_string(gone) + "-00000000";
    std::filesystem::create_directory(cell / folderName);

    WorkspaceFiles::StaleTemporaries swept = WorkspaceFiles::removeStaleTemporaries(cell.path());
    std::sort(swept.removed.begin(), swept.removed.end());
    std::vector<std::string> expected = {stale, staleMerge, linkName};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(swept.removed, expected);
    ASSERT_EQ(swept.unremovable.size(), 1u);
    EXPECT_EQ(swept.unremovable[0].path(), cell / folderName);
    EXPECT_EQ(swept.unremovable[0].what(), "Could not remove " + (cell / folderName).string() + ": " +
                                               std::generic_category().message(EISDIR));
    EXPECT_FALSE(std::filesystem::exists(cell / stale));
    EXPECT_FALSE(std::filesystem::exists(cell / staleMerge));
    EXPECT_FALSE(std::filesystem::is_symlink(cell / linkName));
    EXPECT_EQ(readTextFile(elsewhere / "kept"), "kept");
    EXPECT_EQ(readTextFile(cell / live), "being written");
    EXPECT_EQ(readTextFile(cell / liveMerge), "being merged");
    for (const std::string& name : others) EXPECT_TRUE(std::filesystem::exists(cell / name)) << name;
    EXPECT_TRUE(WorkspaceFiles::removeStaleTemporaries(cell / "not-made-yet").removed.empty());
}

TEST(WorkspaceFiles, OnlyAValidPartialReplacesTheFinalFile) {
    TempDir folder;
    auto partial = folder / "output.partial.ply";
    auto final = folder / "output.ply";
    writeTextFile(final, "old result");
    std::string incomplete = gaussianPLY(10);
    incomplete.pop_back();
    writeTextFile(partial, incomplete);
    EXPECT_THROW(WorkspaceFiles::promoteValidatedPLY(partial, final), PLYCheck::Failure);
    EXPECT_EQ(readTextFile(final), "old result");
    EXPECT_EQ(readTextFile(partial), incomplete);

    writeTextFile(partial, gaussianPLY(10));
    EXPECT_EQ(WorkspaceFiles::promoteValidatedPLY(partial, final).bytesPerVertex, 56);
    EXPECT_EQ(readTextFile(final), gaussianPLY(10));
    EXPECT_FALSE(std::filesystem::exists(partial));

    writeTextFile(partial, gaussianPLY(3));
    EXPECT_EQ(WorkspaceFiles::promoteValidatedPLY(partial, folder / "fresh.ply").vertexCount, 3);
    EXPECT_TRUE(std::filesystem::exists(folder / "fresh.ply"));
}

class ModelImport : public ::testing::Test {
protected:
    void SetUp() override {
        tessaron::colmap::COLMAPUtils::writeModel(tessaron::testing::makeModel(3, 5, 2), folder_ / "real/sparse/0");
        writeTextFile(folder_ / "real/sparse/0/project.ini", "not imported");
    }
    TempDir folder_;
};

TEST_F(ModelImport, CopiesTheThreeModelFilesOnly) {
    auto colmap = WorkspaceFiles::importCOLMAPModel(folder_ / "real", folder_ / "workspace");
    EXPECT_EQ(colmap, folder_ / "workspace/colmap");
    for (const char* name : {"cameras.bin", "images.bin", "points3D.bin"})
        EXPECT_EQ(readTextFile(colmap / "sparse/0" / name), readTextFile(folder_ / "real/sparse/0" / name));
    EXPECT_FALSE(std::filesystem::exists(colmap / "sparse/0/project.ini"));
}

TEST_F(ModelImport, FollowsALinkedSparseFolderAndLinkedFiles) {
    std::filesystem::create_directories(folder_ / "linked/sparse");
    std::filesystem::create_directory_symlink(folder_ / "real/sparse/0", folder_ / "linked/sparse/0");
    auto colmap = WorkspaceFiles::importCOLMAPModel(folder_ / "linked", folder_ / "workspace");
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(colmap / "sparse/0/images.bin")));
    EXPECT_EQ(COLMAPUtils::readImages(colmap / "sparse/0/images.bin").size(), 3u);
}

TEST_F(ModelImport, MissingPointsFileCopiesTheOthersThenFailsWithNoSuchFile) {
    std::filesystem::remove(folder_ / "real/sparse/0/points3D.bin");
    try {
        WorkspaceFiles::importCOLMAPModel(folder_ / "real", folder_ / "workspace");
        FAIL();
    } catch (const WorkspaceFiles::FileError& error) {
        EXPECT_TRUE(error.isNoSuchFile());
    }
    EXPECT_TRUE(std::filesystem::exists(folder_ / "workspace/colmap/sparse/0/cameras.bin"));
    EXPECT_TRUE(std::filesystem::exists(folder_ / "workspace/colmap/sparse/0/images.bin"));
}

TEST_F(ModelImport, FolderInPlaceOfAFileIsNotAFile) {
    std::filesystem::remove(folder_ / "real/sparse/0/images.bin");
    std::filesystem::create_directory(folder_ / "real/sparse/0/images.bin");
    try {
        WorkspaceFiles::importCOLMAPModel(folder_ / "real", folder_ / "workspace");
        FAIL();
    } catch (const WorkspaceFiles::NotAFileError& error) {
        EXPECT_STREQ(error.what(), "images.bin in the COLMAP folder is not a file");
        EXPECT_EQ(error.path.filename(), "images.bin");
    }
}

TEST_F(ModelImport, ExistingDestinationFileIsACopyError) {
    writeTextFile(folder_ / "workspace/colmap/sparse/0/cameras.bin", "already here");
    try {
        WorkspaceFiles::importCOLMAPModel(folder_ / "real", folder_ / "workspace");
        FAIL();
    } catch (const WorkspaceFiles::FileError& error) {
        EXPECT_TRUE(error.isFileExists());
    }
    EXPECT_EQ(readTextFile(folder_ / "workspace/colmap/sparse/0/cameras.bin"), "already here");
}
