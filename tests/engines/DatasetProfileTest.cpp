#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "engines/DatasetProfile.hpp"
#include "support/TempDir.hpp"

using namespace tessaron::engines;
using tessaron::testing::TempDir;
using tessaron::testing::writeTextFile;

namespace {

void writeImage(const std::filesystem::path& path, int width, int height) {
    std::filesystem::create_directories(path.parent_path());
    cv::Mat image(height, width, CV_8UC3, cv::Scalar(10, 200, 30));
    ASSERT_TRUE(cv::imwrite(path.string(), image)) << path;
}

void writeVideo(const std::filesystem::path& path, int frames, double fps, int width, int height) {
    cv::VideoWriter writer(path.string(), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), fps, cv::Size(width, height));
    ASSERT_TRUE(writer.isOpened());
    for (int index = 0; index < frames; ++index) writer.write(cv::Mat(height, width, CV_8UC3, cv::Scalar::all(index)));
}

}  // namespace

TEST(DatasetProfile, CountsImagesByExtensionInAnyCaseAndSkipsHiddenFiles) {
    TempDir folder;
    writeImage(folder / "a.JPG", 64, 48);
    writeImage(folder / "b.png", 64, 48);
    writeTextFile(folder / "notes.txt", "x");
    writeImage(folder / ".hidden.jpg", 64, 48);
    writeImage(folder / "nested/c.jpg", 64, 48);  // only the top level counts when it has images
    auto profile = DatasetProfile::scan(folder.path());
    ASSERT_TRUE(profile);
    EXPECT_EQ(profile->imageCount, 2);
    EXPECT_EQ(profile->nativeWidth, 64);
    EXPECT_EQ(profile->nativeHeight, 48);
    EXPECT_FALSE(profile->isEstimated);
    EXPECT_GE(profile->physicalMemoryGB, 1);
    EXPECT_GE(profile->availableMemoryGB, 1);
    EXPECT_LE(profile->availableMemoryGB, profile->physicalMemoryGB + 1);
}

TEST(DatasetProfile, FolderOfCameraFoldersCountsAllAndMeasuresTheFirstByName) {
    TempDir folder;
    for (const char* name : {"f1.jpg", "f2.jpg", "f3.jpg"}) writeImage(folder / "cam2" / name, 30, 20);
    writeImage(folder / "cam1/b.jpg", 40, 30);
    writeImage(folder / "cam1/a.jpg", 50, 40);
    writeImage(folder / "cam1/deeper/z.jpg", 10, 10);  // two levels down: never seen
    auto profile = DatasetProfile::scan(folder.path());
    ASSERT_TRUE(profile);
    EXPECT_EQ(profile->imageCount, 5);
    EXPECT_EQ(profile->nativeWidth, 50);
    EXPECT_EQ(profile->nativeHeight, 40);
}

TEST(DatasetProfile, NothingWithoutImagesOrWhenTheFirstCannotBeDecoded) {
    TempDir folder;
    EXPECT_FALSE(DatasetProfile::scan(folder / "missing"));
    EXPECT_FALSE(DatasetProfile::scan(folder.path()));
    writeTextFile(folder / "sub/readme.txt", "x");
    EXPECT_FALSE(DatasetProfile::scan(folder.path()));
    writeTextFile(folder / "broken/photo.jpg", "not a jpeg");
    EXPECT_FALSE(DatasetProfile::scan(folder / "broken"));
}

TEST(DatasetProfile, VideoEstimateDividesTheFrameCountByTheStride) {
    TempDir folder;
    auto video = folder / "clip.avi";
    writeVideo(video, 25, 10, 96, 64);
    auto everyTenth = DatasetProfile::probe(video, 10);
    ASSERT_TRUE(everyTenth);
    EXPECT_EQ(everyTenth->imageCount, 2);
    EXPECT_EQ(everyTenth->nativeWidth, 96);
    EXPECT_EQ(everyTenth->nativeHeight, 64);
    EXPECT_TRUE(everyTenth->isEstimated);
    EXPECT_EQ(DatasetProfile::probe(video, 0)->imageCount, 25);
    EXPECT_EQ(DatasetProfile::probe(video, 1)->imageCount, 25);
    EXPECT_EQ(DatasetProfile::probe(video, 100)->imageCount, 1);  // never below one

    writeTextFile(folder / "clip.mp4", "not a video at all");
    EXPECT_FALSE(DatasetProfile::probe(folder / "clip.mp4", 10));
    EXPECT_FALSE(DatasetProfile::probe(folder / "missing.mp4", 10));
}

TEST(DatasetProfile, MemoryFromMeminfoInWholeGiBWithAtLeastOneAvailable) {
    const std::string meminfo =
        "MemTotal:       16777216 kB\n"
        "MemFree:          100000 kB\n"
        "MemAvailable:    3145727 kB\n";
    EXPECT_EQ(DatasetProfile::physicalMemoryGBFromMeminfo(meminfo), 16);
    EXPECT_EQ(DatasetProfile::availableMemoryGBFromMeminfo(meminfo), 2);  // 2.99... GiB
    EXPECT_EQ(DatasetProfile::availableMemoryGBFromMeminfo("MemAvailable:     524288 kB\n"), 1);
    EXPECT_EQ(DatasetProfile::availableMemoryGBFromMeminfo("MemTotal: 1 kB\n"), std::nullopt);
    EXPECT_EQ(DatasetProfile::physicalMemoryGBFromMeminfo("MemTotalx: 99999999 kB\nMemTotal: 2097152 kB\n"), 2);
    EXPECT_GE(DatasetProfile::queryAvailableMemoryGB(), 1);
    EXPECT_GE(DatasetProfile::queryPhysicalMemoryGB(), DatasetProfile::queryAvailableMemoryGB());
}
