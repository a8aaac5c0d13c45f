// The tests' temporary folder: removing it touches nothing outside it.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/TempDir.hpp"

using tessaron::testing::TempDir;
namespace fs = std::filesystem;

TEST(TempDir, RemovingItNeverChangesWhatALinkInItNames) {
    TempDir outside;
    const fs::path file = outside / "kept.txt";
    tessaron::testing::writeTextFile(file, "kept");
    fs::permissions(file, fs::perms::owner_read);
    {
        // As a test links /dev/null into its folder.
        TempDir folder;
        fs::create_symlink(file, folder / "link");
        fs::create_directory(folder / "locked");
        fs::permissions(folder / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    }
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read);
    EXPECT_EQ(tessaron::testing::readTextFile(file), "kept");
}
