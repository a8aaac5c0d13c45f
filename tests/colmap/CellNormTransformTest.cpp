#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "colmap/COLMAPUtils.hpp"
#include "colmap/CellNormTransform.hpp"
#include "support/TempDir.hpp"

using tessaron::colmap::CellNormTransform;
using tessaron::colmap::ImageModel;
using tessaron::testing::TempDir;
namespace support = tessaron::testing;
using Centre = CellNormTransform::Centre;

namespace {

// An image record whose camera centre is `centre`, turned about y by `angle`,
// its quaternion multiplied by `length`.
ImageModel imageAt(int32_t id, Centre centre, double angle = 0.3, double length = 1, size_t points = 2) {
    ImageModel image;
    image.imageId = id;
    image.cameraId = 1;
    image.name = "frame_" + std::to_string(id) + ".jpg";
    double c = std::cos(angle), s = std::sin(angle);
    image.qw = std::cos(angle / 2) * length;
    image.qy = std::sin(angle / 2) * length;
    image.tx = -(c * centre.x + s * centre.z);
    image.ty = -centre.y;
    image.tz = -(-s * centre.x + c * centre.z);
    for (size_t index = 0; index < points; ++index) image.points2D.push_back({double(index), 1, index + 1});
    return image;
}

std::string imagesBin(const std::vector<ImageModel>& images) {
    TempDir dir;
    tessaron::colmap::ImageMap map;
    for (const auto& image : images) map[image.imageId] = image;
    tessaron::colmap::COLMAPUtils::writeImages(map, dir / "images.bin");
    return support::readTextFile(dir / "images.bin");
}

void expectCentre(const Centre& actual, const Centre& expected) {
    EXPECT_NEAR(actual.x, expected.x, 1e-12);
    EXPECT_NEAR(actual.y, expected.y, 1e-12);
    EXPECT_NEAR(actual.z, expected.z, 1e-12);
}

std::optional<CellNormTransform> transformOf(const std::string& bytes) {
    TempDir dir;
    support::writeTextFile(dir / "sparse/0/images.bin", bytes);
    return CellNormTransform::estimate(dir / "sparse/0");
}

}  // namespace

TEST(CellNormTransform, OneCameraGivesItsCentreAndScaleOne) {
    auto transform = transformOf(imagesBin({imageAt(1, {0.5, -2, 3})}));
    ASSERT_TRUE(transform);
    EXPECT_NEAR(transform->translation.x, 0.5, 1e-12);
    EXPECT_NEAR(transform->translation.y, -2, 1e-12);
    EXPECT_NEAR(transform->translation.z, 3, 1e-12);
    EXPECT_EQ(transform->scale, 1);
}

TEST(CellNormTransform, MeanAndLargestCoordinateDeviation) {
    auto two = transformOf(imagesBin({imageAt(1, {0, 0, 0}, 0), imageAt(2, {2, 0, 0}, 0)}));
    ASSERT_TRUE(two);
    EXPECT_EQ(two->translation, (CellNormTransform::Translation{1, 0, 0}));
    EXPECT_EQ(two->scale, 1);
    auto three = transformOf(imagesBin({imageAt(1, {0, 0, 0}), imageAt(2, {1, 0, 0.5}), imageAt(3, {2, 0, 4})}));
    ASSERT_TRUE(three);
    EXPECT_NEAR(three->translation.z, 1.5, 1e-12);
    EXPECT_NEAR(three->scale, 1 / 2.5, 1e-12);
}

TEST(CellNormTransform, AQuaternionOfAnyLengthGivesTheSameCentre) {
    auto centres = CellNormTransform::cameraCenters(imagesBin({imageAt(1, {1, 2, 3}, 0.7, 1), imageAt(2, {1, 2, 3}, 0.7, 3.5)}));
    ASSERT_EQ(centres.size(), 2u);
    expectCentre(centres[0], {1, 2, 3});
    expectCentre(centres[1], {1, 2, 3});
}

TEST(CellNormTransform, DamagedFilesGiveTheCentresOfTheirCompleteRecords) {
    std::string bytes = imagesBin({imageAt(1, {1, 0, 0}), imageAt(2, {2, 0, 0}), imageAt(3, {3, 0, 0})});
    const size_t recordBytes = (bytes.size() - 8) / 3;
    // A count above the records present.
    std::string more = bytes;
    uint64_t five = 5;
    std::memcpy(more.data(), &five, 8);
    EXPECT_EQ(CellNormTransform::cameraCenters(more).size(), 3u);
    // Cut inside the third record's fixed part; then inside the second's point list.
    EXPECT_EQ(CellNormTransform::cameraCenters(bytes.substr(0, 8 + 2 * recordBytes + 30)).size(), 2u);
    EXPECT_EQ(CellNormTransform::cameraCenters(bytes.substr(0, 8 + 2 * recordBytes - 5)).size(), 2u);
    // Cut in the second record's name: no point count follows it.
    EXPECT_EQ(CellNormTransform::cameraCenters(bytes.substr(0, 8 + recordBytes + 66)).size(), 1u);
    // A negative point count ends the parse at its record, which keeps its centre.
    std::string negative = bytes;
    int64_t minusOne = -1;
    size_t countOffset = 8 + recordBytes + 64 + std::string("frame_2.jpg").size() + 1;
    std::memcpy(negative.data() + countOffset, &minusOne, 8);
    auto centres = CellNormTransform::cameraCenters(negative);
    ASSERT_EQ(centres.size(), 2u);
    expectCentre(centres[1], {2, 0, 0});
    // So does one whose list would run past any file.
    int64_t huge = INT64_MAX;
    std::memcpy(negative.data() + countOffset, &huge, 8);
    EXPECT_EQ(CellNormTransform::cameraCenters(negative).size(), 2u);
}

TEST(CellNormTransform, APoseWithoutARotationIsPassedOver) {
    ImageModel broken = imageAt(2, {9, 9, 9});
    broken.qw = broken.qx = broken.qy = broken.qz = 0;
    auto transform = transformOf(imagesBin({imageAt(1, {0, 0, 0}, 0), broken, imageAt(3, {2, 0, 0}, 0)}));
    ASSERT_TRUE(transform);
    EXPECT_EQ(transform->translation, (CellNormTransform::Translation{1, 0, 0}));
}

TEST(CellNormTransform, NoReadableCentreGivesNothing) {
    EXPECT_FALSE(transformOf(std::string(8, '\0')));
    EXPECT_FALSE(transformOf("1234567"));
    EXPECT_FALSE(transformOf(imagesBin({imageAt(1, {1, 0, 0})}).substr(0, 40)));
    TempDir dir;
    EXPECT_FALSE(CellNormTransform::estimate(dir / "missing"));
}
