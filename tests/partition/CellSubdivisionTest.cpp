#include <gtest/gtest.h>

#include "MergeTestSupport.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "partition/PartitionerDetail.hpp"
#include "support/TempDir.hpp"

using namespace tessaron::partition;
using tessaron::colmap::COLMAPModel;
using tessaron::colmap::COLMAPUtils;
using tessaron::colmap::ImageModel;
using tessaron::testing::LogLines;
using tessaron::testing::TempDir;

namespace {

// The parent cell [-1, 1] x [-1, 1] of a plan centred at (10, 0, 20) with
// radius 2 covers [8, 12] x [18, 22] of the model; its quadrants are 2 m wide.
const SceneNormalization kNormalization{10, 0, 20, 2};
const CellBounds kParent{-1, 1, -1, 1};

// Per quadrant, `cameras[q]` cameras at its centre, each seeing twelve points
// of its own inside the quadrant (away from its sides), and the first camera
// of quadrant 0 also a far point of quadrant 1. One more point, seen by no
// camera, lies on x = 10.
COLMAPModel quadrantModel(const std::array<int, 4>& cameras) {
    COLMAPModel model;
    model.cameras[1] = {1, 1, 640, 480, {500, 500, 320, 240}};
    const double centres[4][2] = {{9, 19}, {11, 19}, {9, 21}, {11, 21}};
    uint64_t nextPoint = 1;
    int32_t nextImage = 1;
    auto addPoint = [&](double x, double z) {
        auto& point = model.points3D[nextPoint];
        point.point3D_id = nextPoint;
        point.x = x;
        point.z = z;
        point.error = 0.5;
        return nextPoint++;
    };
    addPoint(10, 19);
    uint64_t quadrantOnePoint = addPoint(11.9, 18.1);
    for (int q = 0; q < 4; ++q) {
        for (int camera = 0; camera < cameras[q]; ++camera) {
            ImageModel image;
            image.imageId = nextImage++;
            image.cameraId = 1;
            image.name = "q" + std::to_string(q) + "_" + std::to_string(camera) + ".jpg";
            // Identity rotation: the centre is -t.
            image.tx = -centres[q][0];
            image.ty = 1.6;
            image.tz = -centres[q][1];
            for (int k = 0; k < 12; ++k) {
                uint64_t id = addPoint(centres[q][0] - 0.4 + 0.07 * k, centres[q][1] + 0.3 - 0.05 * k);
                image.points2D.push_back({double(k), 0, id});
            }
            if (q == 0 && camera == 0) {
                image.points2D.push_back({50, 0, quadrantOnePoint});
                image.points2D.push_back({70, 0, ImageModel::kNoPoint3D});
            }
            model.images[image.imageId] = image;
        }
    }
    return model;
}

void expectBounds(const CellBounds& actual, const CellBounds& expected) {
    EXPECT_NEAR(actual.minX, expected.minX, 1e-12);
    EXPECT_NEAR(actual.maxX, expected.maxX, 1e-12);
    EXPECT_NEAR(actual.minZ, expected.minZ, 1e-12);
    EXPECT_NEAR(actual.maxZ, expected.maxZ, 1e-12);
}

void expectCell(const MaterializedCell& cell, const std::string& id, const std::filesystem::path& url,
                const CellBounds& core, const CellBounds& expanded) {
    EXPECT_EQ(cell.cellId, id);
    EXPECT_EQ(cell.url, url);
    expectBounds(cell.coreBounds, core);
    expectBounds(cell.expandedBounds, expanded);
}

}  // namespace

TEST(CellSubdivision, WritesTheQuadrantsWithEnoughImages) {
    TempDir dir;
    COLMAPModel global = quadrantModel({8, 7, 9, 0});
    COLMAPUtils::writeModel(global, dir / "sparse/0");
    LogLines log;
    auto written = VastGaussianPartitioner::executeCells("cell_3", kParent, dir / "sparse/0", dir / "partitions",
                                                         kNormalization, log.sink());
    ASSERT_EQ(written.size(), 2u);
    expectCell(written[0], "cell_3_s0", dir / "partitions/cell_3_s0/sparse/0", {-1, 0, -1, 0}, {-1.2, 0.2, -1.2, 0.2});
    expectCell(written[1], "cell_3_s2", dir / "partitions/cell_3_s2/sparse/0", {-1, 0, 0, 1}, {-1.2, 0.2, -0.2, 1.2});
    EXPECT_FALSE(std::filesystem::exists(dir / "partitions/cell_3_s1"));
    EXPECT_FALSE(std::filesystem::exists(dir / "partitions/cell_3_s3"));
    // Quadrant 0 keeps its own 96 points and the one on its side; the
    // quadrant 1 point is out of reach.
    EXPECT_EQ(log.lines, (std::vector<std::string>{"SfM quality filter: 290 → 290 points (removed 0, 0.0%)",
                                                   "  Reprojection error threshold: 0.500 px (mean=0.500, σ=0.000)",
                                                   "  cell_3_s0: 8 images, 97 points → written",
                                                   "  cell_3_s1: only 7 images — skipping (need ≥8)",
                                                   "  cell_3_s2: 9 images, 108 points → written",
                                                   "  cell_3_s3: only 0 images — skipping (need ≥8)"}));

    COLMAPModel first = COLMAPUtils::readModel(written[0].url);
    ASSERT_EQ(first.images.size(), 8u);
    EXPECT_EQ(first.cameras, global.cameras);
    const ImageModel& seer = first.images.at(1);
    // Camera centre (9, -1.6, 19) in the plan's frame.
    Vec3 centre = detail::cameraCentre(seer);
    EXPECT_NEAR(centre.x, -0.5, 1e-12);
    EXPECT_NEAR(centre.y, -0.8, 1e-12);
    EXPECT_NEAR(centre.z, -0.5, 1e-12);
    ASSERT_EQ(seer.points2D.size(), 14u);
    EXPECT_EQ(seer.points2D[11].point3D_id, global.images.at(1).points2D[11].point3D_id);
    EXPECT_EQ(seer.points2D[12].point3D_id, ImageModel::kNoPoint3D);  // quadrant 1's point
    EXPECT_EQ(seer.points2D[12].x, 50);
    EXPECT_EQ(seer.points2D[13].point3D_id, ImageModel::kNoPoint3D);
    EXPECT_EQ(first.points3D.at(1).x, 0);
    EXPECT_EQ(first.points3D.at(1).z, -0.5);
}

TEST(CellSubdivision, APointOnTheMidlineBelongsToBothQuadrantsThatReachIt) {
    TempDir dir;
    COLMAPUtils::writeModel(quadrantModel({8, 8, 0, 0}), dir / "sparse/0");
    auto written = VastGaussianPartitioner::executeCells("cell_0", kParent, dir / "sparse/0", dir / "partitions",
                                                         kNormalization);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_TRUE(COLMAPUtils::readModel(written[0].url).points3D.contains(1));
    EXPECT_TRUE(COLMAPUtils::readModel(written[1].url).points3D.contains(1));
}

TEST(CellSubdivision, AModelThatCannotBeReadFails) {
    TempDir dir;
    EXPECT_THROW(VastGaussianPartitioner::executeCells("cell_0", kParent, dir / "sparse/0", dir / "partitions",
                                                       kNormalization),
                 tessaron::core::Error);
    EXPECT_FALSE(std::filesystem::exists(dir / "partitions"));
}
