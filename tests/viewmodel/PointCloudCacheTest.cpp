// Reading a sparse model into the partition view's cloud: the thinning, the
// robust extent, which way is up, the cache key, and the loader that reads
// it off the GUI thread.
#include <gtest/gtest.h>

#include <QTest>
#include <QThreadPool>

#include <fstream>
#include <thread>

#include "colmap/COLMAPUtils.hpp"
#include "support/EventLoopWait.hpp"
#include "support/TempDir.hpp"
#include "viewmodel/PointCloudCache.hpp"
#include "viewmodel/SparseCloudLoader.hpp"

namespace tessaron::testing {
namespace {

using colmap::COLMAPUtils;
using viewmodel::ParsedCloud;
using viewmodel::ParsedCloudPointer;
using viewmodel::PointCloudCache;
using viewmodel::SparseCloudLoader;
namespace fs = std::filesystem;

// `count` points with x = id, y = -id, z = 2 id (ids from 1), and the given
// image rotations.
void writeModel(const fs::path& folder, int count, const std::vector<std::array<double, 4>>& rotations = {}) {
    colmap::CameraMap cameras;
    cameras[1] = {1, 0, 640, 480, {500, 320, 240}};
    colmap::ImageMap images;
    int32_t imageId = 1;
    for (const auto& q : rotations) {
        colmap::ImageModel image;
        image.imageId = imageId;
        image.qw = q[0], image.qx = q[1], image.qy = q[2], image.qz = q[3];
        image.cameraId = 1;
        image.name = "image_" + std::to_string(imageId) + ".jpg";
        images[imageId++] = image;
    }
    colmap::Point3DMap points;
    for (int id = 1; id <= count; ++id) {
        colmap::Point3DModel point;
        point.point3D_id = uint64_t(id);
        point.x = id, point.y = -id, point.z = 2.0 * id;
        points[point.point3D_id] = point;
    }
    COLMAPUtils::writeModel(cameras, images, points, folder);
}

struct StrideCase {
    int pointCount;
    std::size_t expectedTaken;
    double expectedSecondX;  // the second point taken, by its x (= id)
};

class CloudThinning : public ::testing::TestWithParam<StrideCase> {};

TEST_P(CloudThinning, TakesEveryStrideThPointInTheReadersOrder) {
    TempDir folder("cloud-thinning");
    writeModel(folder.path(), GetParam().pointCount);
    const ParsedCloud cloud = PointCloudCache::parseCloud(folder.path());
    EXPECT_TRUE(cloud.readError.empty()) << cloud.readError;
    ASSERT_EQ(cloud.positions.size(), GetParam().expectedTaken);
    ASSERT_EQ(cloud.pointsXZ.size(), cloud.positions.size());
    EXPECT_EQ(cloud.positions[0].x, 1);
    EXPECT_EQ(cloud.positions[1].x, GetParam().expectedSecondX);
    EXPECT_EQ(cloud.pointsXZ[1].x, cloud.positions[1].x);
    EXPECT_EQ(cloud.pointsXZ[1].z, cloud.positions[1].z);
}

INSTANTIATE_TEST_SUITE_P(Sizes, CloudThinning,
                         ::testing::Values(StrideCase{29999, 29999, 2}, StrideCase{30000, 30000, 2},
                                           StrideCase{60000, 30000, 3}, StrideCase{90000, 30000, 4},
                                           StrideCase{59999, 59999, 2}),
                         [](const auto& info) { return "Points" + std::to_string(info.param.pointCount); });

TEST(PointCloudCacheTest, BoundsIgnoreTwoPercentAtEachEndAndHeightsFollow) {
    TempDir folder("cloud-bounds");
    writeModel(folder.path(), 1000);
    const ParsedCloud cloud = PointCloudCache::parseCloud(folder.path());
    // m = 1000: lo = 20, hi = 980 of the sorted lists.
    EXPECT_EQ(cloud.bounds, (ParsedCloud::Bounds{21, 981, 42, 1962}));
    EXPECT_EQ(cloud.yLow, -980);
    EXPECT_EQ(cloud.yHigh, -20);
}

TEST(PointCloudCacheTest, UpSignFollowsTheCamerasImageDownAxes) {
    TempDir folder("cloud-up");
    // A turn of pi about X: the camera's down axis (+Y) maps to world -Y
    // (q = (0, 1, 0, 0), term 2 (1 + 0) - 1 = 1 > 0).
    writeModel(folder / "upside", 10, {{0, 1, 0, 0}, {0, 1, 0, 0}, {1, 0, 0, 0}});
    EXPECT_EQ(PointCloudCache::parseCloud(folder / "upside").upSign, 1.0);
    // Identity rotations: image down is world +Y, so up is -Y.
    writeModel(folder / "plain", 10, {{1, 0, 0, 0}, {1, 0, 0, 0}});
    EXPECT_EQ(PointCloudCache::parseCloud(folder / "plain").upSign, -1.0);
    writeModel(folder / "none", 10);
    EXPECT_EQ(PointCloudCache::parseCloud(folder / "none").upSign, -1.0);
}

TEST(PointCloudCacheTest, AMissingOrDamagedModelGivesTheEmptyCloudWithTheReason) {
    TempDir folder("cloud-damaged");
    const ParsedCloud missing = PointCloudCache::parseCloud(folder / "nothing");
    EXPECT_TRUE(missing.positions.empty());
    EXPECT_EQ(missing.bounds, (ParsedCloud::Bounds{-1, 1, -1, 1}));
    EXPECT_EQ(missing.upSign, -1.0);
    EXPECT_FALSE(missing.readError.empty());

    writeModel(folder.path(), 100, {{0, 1, 0, 0}});
    const auto size = fs::file_size(folder / "points3D.bin");
    fs::resize_file(folder / "points3D.bin", size - 1);
    const ParsedCloud damaged = PointCloudCache::parseCloud(folder.path());
    EXPECT_TRUE(damaged.positions.empty());
    EXPECT_EQ(damaged.upSign, -1.0);
    EXPECT_NE(damaged.readError.find("truncated"), std::string::npos) << damaged.readError;
}

TEST(PointCloudCacheTest, KeyNamesTheFolderTheFilesTimeAndSize) {
    TempDir folder("cloud-key");
    EXPECT_EQ(PointCloudCache::cacheKey(folder.path()), folder.path().string() + "|0.0|0");

    writeModel(folder.path(), 10);
    const fs::path file = folder / "points3D.bin";
    fs::last_write_time(file, fs::file_time_type::clock::now());
    const std::string key = PointCloudCache::cacheKey(folder.path());
    const std::string prefix = folder.path().string() + "|";
    ASSERT_EQ(key.rfind(prefix, 0), 0u) << key;
    const std::string rest = key.substr(prefix.size());
    const auto bar = rest.find('|');
    EXPECT_EQ(rest.substr(bar + 1), std::to_string(fs::file_size(file)));
    EXPECT_NEAR(std::stod(rest.substr(0, bar)), double(std::time(nullptr)), 5);

    // Rewriting the file with other contents changes the key.
    writeModel(folder.path(), 11);
    EXPECT_NE(PointCloudCache::cacheKey(folder.path()), key);
}

TEST(SparseCloudLoaderTest, ALoadStoresTheCloudAndDeliversItOnTheGuiThread) {
    TempDir folder("cloud-load");
    writeModel(folder.path(), 50);
    EXPECT_EQ(PointCloudCache::cachedCloud(folder.path()), nullptr);

    SparseCloudLoader loader;
    ParsedCloudPointer delivered;
    std::thread::id deliveredOn;
    loader.load(folder.path(), [&](ParsedCloudPointer cloud) {
        delivered = std::move(cloud);
        deliveredOn = std::this_thread::get_id();
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return delivered != nullptr; }, 30000));
    EXPECT_EQ(deliveredOn, std::this_thread::get_id());
    EXPECT_EQ(delivered->positions.size(), 50u);
    EXPECT_EQ(PointCloudCache::cachedCloud(folder.path()), delivered);

    // The same model again comes from the cache, before load() returns.
    ParsedCloudPointer again;
    loader.load(folder.path(), [&](ParsedCloudPointer cloud) { again = std::move(cloud); });
    EXPECT_EQ(again, delivered);

    // A new file is a new key: a miss until it is read again.
    writeModel(folder.path(), 60);
    fs::last_write_time(folder / "points3D.bin", fs::file_time_type::clock::now() + std::chrono::seconds(5));
    EXPECT_EQ(PointCloudCache::cachedCloud(folder.path()), nullptr);
}

TEST(SparseCloudLoaderTest, OnlyTheNewestLoadIsDelivered) {
    TempDir folder("cloud-newest");
    writeModel(folder / "first", 20);
    writeModel(folder / "second", 30);
    SparseCloudLoader loader;
    std::vector<std::size_t> delivered;
    loader.load(folder / "first", [&](ParsedCloudPointer cloud) { delivered.push_back(cloud->positions.size()); });
    loader.load(folder / "second", [&](ParsedCloudPointer cloud) { delivered.push_back(cloud->positions.size()); });
    // Both reads end (the superseded one still fills the cache) and what
    // they posted is handled.
    ASSERT_TRUE(QTest::qWaitFor([&] { return PointCloudCache::cachedCloud(folder / "first") != nullptr; }, 30000));
    ASSERT_TRUE(QThreadPool::globalInstance()->waitForDone(30000));
    ASSERT_TRUE(deliverEventsDueWithin());
    EXPECT_EQ(delivered, std::vector<std::size_t>{30});

    // A cancel supersedes without a new load.
    writeModel(folder / "third", 40);
    bool called = false;
    loader.load(folder / "third", [&](ParsedCloudPointer) { called = true; });
    loader.cancel();
    ASSERT_TRUE(QThreadPool::globalInstance()->waitForDone(30000));
    ASSERT_TRUE(deliverEventsDueWithin());
    EXPECT_FALSE(called);
}

TEST(SparseCloudLoaderTest, AModelThatCannotBeReadIsDeliveredEmptyWithTheReason) {
    TempDir folder("cloud-unreadable");
    writeModel(folder.path(), 10);
    std::ofstream(folder / "points3D.bin", std::ios::binary | std::ios::trunc) << "xx";
    SparseCloudLoader loader;
    ParsedCloudPointer delivered;
    loader.load(folder.path(), [&](ParsedCloudPointer cloud) { delivered = std::move(cloud); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return delivered != nullptr; }, 30000));
    EXPECT_FALSE(delivered->readError.empty());
    EXPECT_TRUE(delivered->positions.empty());
}

TEST(SparseCloudLoaderTest, ALoaderDestroyedDuringARunDeliversNothing) {
    TempDir folder("cloud-gone");
    writeModel(folder.path(), 20);
    bool called = false;
    {
        SparseCloudLoader loader;
        loader.load(folder.path(), [&](ParsedCloudPointer) { called = true; });
    }
    // The cache still gets the cloud.
    ASSERT_TRUE(QTest::qWaitFor([&] { return PointCloudCache::cachedCloud(folder.path()) != nullptr; }, 30000));
    // The load has ended and what it posted has been handled.
    ASSERT_TRUE(QThreadPool::globalInstance()->waitForDone(30000));
    ASSERT_TRUE(deliverEventsDueWithin());
    EXPECT_FALSE(called);
}

}  // namespace
}  // namespace tessaron::testing
