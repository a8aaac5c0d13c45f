#include <gtest/gtest.h>

#include <cerrno>
#include <dlfcn.h>
#include <set>
#include <string_view>

#include "support/ModelFixtures.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "engines/SubModelPromotion.hpp"
#include "support/TempDir.hpp"

using namespace tessaron::colmap;
using namespace tessaron::engines;
using tessaron::testing::makeModel;
using tessaron::testing::readTextFile;
using tessaron::testing::TempDir;
using tessaron::testing::writeTextFile;

// Moves can only be made to fail here by intercepting rename(2): the tests
// run as root on one file system, where no permission or device boundary
// stops a rename. Sources whose path ends in one of these names fail.
namespace {
std::set<std::string> failingRenameSources;
}

extern "C" int rename(const char* from, const char* to) {
    for (const auto& suffix : failingRenameSources) {
        if (std::string_view(from).ends_with("/" + suffix)) {
            errno = EACCES;
            return -1;
        }
    }
    using Rename = int (*)(const char*, const char*);
    static Rename systemRename = reinterpret_cast<Rename>(::dlsym(RTLD_NEXT, "rename"));
    return systemRename(from, to);
}

namespace {

class SubModelPromotionTest : public ::testing::Test {
protected:
    void TearDown() override { failingRenameSources.clear(); }

    std::filesystem::path sparse() const { return folder_ / "sparse"; }

    void writeSubModel(const std::string& name, int imageCount) const {
        COLMAPUtils::writeModel(makeModel(imageCount, 4, 2), sparse() / name);
    }

    int64_t imagesIn(const std::string& name) const {
        return int64_t(COLMAPUtils::readImages(sparse() / name / "images.bin").size());
    }

    std::set<std::string> entries() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(sparse())) names.insert(entry.path().filename());
        return names;
    }

    std::vector<std::string> promote() const {
        std::vector<std::string> lines;
        SubModelPromotion::promoteLargestSubModel(sparse(), [&](const std::string& line) { lines.push_back(line); });
        return lines;
    }

    TempDir folder_;
};

using Lines = std::vector<std::string>;
using Names = std::set<std::string>;

TEST_F(SubModelPromotionTest, LargerSubModelReplacesSparseZeroWhichIsKeptAsAStub) {
    writeSubModel("0", 3);
    writeSubModel("1", 15);
    EXPECT_EQ(promote(), Lines{"Sub-model selection: 2 sub-models found; promoted sparse/1 (15 images) to sparse/0."});
    EXPECT_EQ(entries(), (Names{"0", "0_stub_3images"}));
    EXPECT_EQ(imagesIn("0"), 15);
    EXPECT_EQ(imagesIn("0_stub_3images"), 3);

    // Again with a 3-image sparse/0 while that stub name is taken.
    std::filesystem::rename(sparse() / "0", sparse() / "1");
    writeSubModel("0", 3);
    EXPECT_EQ(promote(), Lines{"Sub-model selection: 2 sub-models found; promoted sparse/1 (15 images) to sparse/0."});
    EXPECT_EQ(entries(), (Names{"0", "0_stub_3images", "0_stub_3images_1"}));
    EXPECT_EQ(imagesIn("0"), 15);
}

TEST_F(SubModelPromotionTest, TieGoesToTheSmallerNumber) {
    writeSubModel("1", 120);
    writeSubModel("0", 120);
    EXPECT_EQ(promote(),
              Lines{"Sub-model selection: 2 sub-models found; sparse/0 is already the largest (120 images)."});
    EXPECT_EQ(entries(), (Names{"0", "1"}));
}

TEST_F(SubModelPromotionTest, FewerThanTwoCandidatesDoNothingSilently) {
    EXPECT_EQ(promote(), Lines{});  // no sparse folder at all
    writeSubModel("0", 4);
    writeSubModel("0_stub_40images", 40);
    writeSubModel("1a", 50);
    writeSubModel(".5", 60);
    writeTextFile(sparse() / "7", "a file, not a model");
    EXPECT_EQ(promote(), Lines{});
    EXPECT_EQ(entries(), (Names{"0", "0_stub_40images", "1a", ".5", "7"}));
}

TEST_F(SubModelPromotionTest, SignedNumbersAreCandidatesAndStubsAreNot) {
    writeSubModel("-1", 5);
    writeSubModel("+2", 9);
    writeSubModel("0_stub_40images", 40);
    writeSubModel("99999999999999999999", 80);  // beyond 64 bits: not a number
    EXPECT_EQ(promote(), Lines{"Sub-model selection: 2 sub-models found; promoted sparse/2 (9 images) to sparse/0."});
    // No sparse/0 existed, so nothing was moved aside.
    EXPECT_EQ(entries(), (Names{"-1", "0", "0_stub_40images", "99999999999999999999"}));
    EXPECT_EQ(imagesIn("0"), 9);
}

TEST_F(SubModelPromotionTest, SubModelThatDoesNotParseCountsNoImages) {
    writeSubModel("0", 2);
    writeSubModel("1", 10);
    auto points = sparse() / "1/points3D.bin";
    std::string whole = readTextFile(points);
    writeTextFile(points, whole.substr(0, whole.size() - 1));
    EXPECT_EQ(promote(), Lines{"Sub-model selection: 2 sub-models found; sparse/0 is already the largest (2 images)."});
}

TEST_F(SubModelPromotionTest, FailureToMoveSparseZeroAsideLeavesEverything) {
    writeSubModel("0", 3);
    writeSubModel("1", 15);
    failingRenameSources = {"0"};
    Lines lines = promote();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "⚠ Sub-model selection: could not rename existing sparse/0 (Permission denied). "
              "Leaving the model as-is.");
    EXPECT_EQ(entries(), (Names{"0", "1"}));
}

// The run must keep a sparse/0 when it had one: a failed promotion puts the
// former sparse/0 back in place.
TEST_F(SubModelPromotionTest, FailedPromotionRestoresTheFormerSparseZero) {
    writeSubModel("0", 3);
    writeSubModel("1", 15);
    failingRenameSources = {"1"};
    EXPECT_EQ(promote(), (Lines{"⚠ Sub-model selection: could not promote sparse/1 to sparse/0 (Permission denied).",
                                "⚠ Sub-model selection: restored the former sparse/0 from 0_stub_3images."}));
    EXPECT_EQ(entries(), (Names{"0", "1"}));
    EXPECT_EQ(imagesIn("0"), 3);

    failingRenameSources = {"1", "0_stub_3images"};
    EXPECT_EQ(promote(),
              (Lines{"⚠ Sub-model selection: could not promote sparse/1 to sparse/0 (Permission denied).",
                     "⚠ Sub-model selection: could not restore sparse/0 from 0_stub_3images (Permission denied)."}));
    EXPECT_EQ(entries(), (Names{"0_stub_3images", "1"}));
}

TEST_F(SubModelPromotionTest, FailedPromotionWithoutSparseZeroChangesNothing) {
    writeSubModel("1", 4);
    writeSubModel("2", 8);
    failingRenameSources = {"2"};
    EXPECT_EQ(promote(), Lines{"⚠ Sub-model selection: could not promote sparse/2 to sparse/0 (Permission denied)."});
    EXPECT_EQ(entries(), (Names{"1", "2"}));
}

}  // namespace
