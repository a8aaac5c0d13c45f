#include <gtest/gtest.h>

#include <cmath>

#include "MergeTestSupport.hpp"
#include "core/Error.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "core/FileError.hpp"
#include "partition/PartitionerDetail.hpp"
#include "support/PlannedTown.hpp"
#include "support/TempDir.hpp"

using namespace tessaron::partition;
using tessaron::colmap::COLMAPModel;
using tessaron::colmap::COLMAPUtils;
using tessaron::colmap::ImageModel;
using tessaron::testing::LogLines;
using tessaron::testing::PlannedTown;
using tessaron::testing::TempDir;
namespace core = tessaron::core;
namespace support = tessaron::testing;

namespace {

using PartitionErrorKind = VastGaussianPartitioner::PartitionErrorKind;

struct CellRun {
    std::vector<MaterializedCell> cells;
    LogLines log;
    std::vector<std::pair<int64_t, int64_t>> progress;
};

CellRun materialise(const PartitionPlan& plan, const std::filesystem::path& model, const std::filesystem::path& partitions,
                std::optional<std::set<std::string>> ids = std::nullopt, CancelQuery cancel = {}) {
    CellRun run;
    run.cells = VastGaussianPartitioner::executePartition(
        plan, model, partitions, ids, run.log.sink(),
        [&](int64_t done, int64_t total) { run.progress.emplace_back(done, total); }, cancel);
    return run;
}

void expectLegacyError(const std::function<void()>& body) {
    try {
        body();
        FAIL() << "the plan was used";
    } catch (const VastGaussianPartitioner::PartitionError& error) {
        EXPECT_EQ(error.kind(), PartitionErrorKind::legacyPlanFormat);
    }
}

std::string modelBytes(const std::filesystem::path& folder) {
    return support::fileBytes(folder / "cameras.bin") + support::fileBytes(folder / "images.bin") +
           support::fileBytes(folder / "points3D.bin");
}

}  // namespace

TEST(CellMaterialization, CellModelsHoldTheirImagesAndPointsInThePlansFrame) {
    PlannedTown town;
    PartitionPlan plan = town.plan;
    ASSERT_GE(plan.trainableCells().size(), 2u);
    PartitionCell tiny = plan.cells.front();
    tiny.id = "cell_tiny";
    tiny.imageCount = 7;
    plan.cells.push_back(tiny);

    CellRun run = materialise(plan, town.modelFolder(), town.partitions());
    auto trainable = plan.trainableCells();
    ASSERT_EQ(run.cells.size(), trainable.size());
    auto filtered = detail::filterSfMPoints(town.model.points3D);
    const SceneNormalization& n = plan.normalization;

    for (size_t index = 0; index < trainable.size(); ++index) {
        const PartitionCell& cell = trainable[index];
        const MaterializedCell& written = run.cells[index];
        EXPECT_EQ(written, (MaterializedCell{cell.id, town.partitions() / cell.id / "sparse/0", cell.coreBounds,
                                             cell.expandedBounds}));
        COLMAPModel model = COLMAPUtils::readModel(written.url);
        EXPECT_EQ(model.cameras, town.model.cameras);

        std::set<int32_t> imageIds(cell.cameraIds->begin(), cell.cameraIds->end());
        ASSERT_EQ(model.images.size(), imageIds.size()) << cell.id;
        for (const auto& [id, image] : model.images) {
            ASSERT_TRUE(imageIds.contains(id));
            const ImageModel& global = town.model.images.at(id);
            Vec3 centre = detail::cameraCentre(global);
            Vec3 mapped = detail::cameraCentre(image);
            EXPECT_NEAR(mapped.x, (centre.x - n.centerX) / n.radius, 1e-9);
            EXPECT_NEAR(mapped.y, (centre.y - n.centerY) / n.radius, 1e-9);
            EXPECT_NEAR(mapped.z, (centre.z - n.centerZ) / n.radius, 1e-9);
            EXPECT_EQ(image.qw, global.qw);
            EXPECT_EQ(image.name, global.name);
            ASSERT_EQ(image.points2D.size(), global.points2D.size());
            for (size_t k = 0; k < image.points2D.size(); ++k) {
                const auto& before = global.points2D[k];
                const auto& after = image.points2D[k];
                EXPECT_EQ(after.x, before.x);
                bool kept = model.points3D.contains(before.point3D_id);
                EXPECT_EQ(after.point3D_id, kept ? before.point3D_id : ImageModel::kNoPoint3D);
            }
        }

        size_t expectedPoints = 0;
        for (uint64_t id : *cell.expandedPointIds) expectedPoints += filtered.contains(id);
        ASSERT_EQ(model.points3D.size(), expectedPoints) << cell.id;
        for (const auto& [id, point] : model.points3D) {
            const auto& global = town.model.points3D.at(id);
            EXPECT_NEAR(point.x, (global.x - n.centerX) / n.radius, 1e-12);
            EXPECT_NEAR(point.z, (global.z - n.centerZ) / n.radius, 1e-12);
            EXPECT_EQ(point.track, global.track);
            EXPECT_EQ(point.error, global.error);
        }
        EXPECT_TRUE(run.log.contains(cell.id + ": " + std::to_string(imageIds.size()) + " images, " +
                                     std::to_string(expectedPoints) + " points → writing COLMAP data"));
    }
    EXPECT_FALSE(std::filesystem::exists(town.partitions() / "cell_tiny"));

    EXPECT_EQ(run.log.lines.front(), "Loading COLMAP data for partitioning...");
    EXPECT_TRUE(run.log.lines[1].starts_with("SfM quality filter: 30000 → "));
    EXPECT_EQ(run.log.lines[3], "Using plan-persisted camera/point assignments (no cluster reconstruction)");
    EXPECT_EQ(run.log.lines.back(), "cell_tiny: 7 images → skipped (need ≥8)");
    ASSERT_EQ(run.progress.size(), trainable.size() + 1);
    for (size_t index = 0; index < run.progress.size(); ++index)
        EXPECT_EQ(run.progress[index], (std::pair<int64_t, int64_t>(int64_t(index), int64_t(trainable.size()))));
}

TEST(CellMaterialization, RunningTwiceReplacesEveryCellsFiles) {
    PlannedTown town;
    CellRun first = materialise(town.plan, town.modelFolder(), town.partitions());
    std::vector<std::string> written;
    for (const auto& cell : first.cells) written.push_back(modelBytes(cell.url));
    for (const auto& cell : first.cells) support::writeBytes(cell.url / "images.bin", "stale");
    CellRun second = materialise(town.plan, town.modelFolder(), town.partitions());
    ASSERT_EQ(second.cells, first.cells);
    for (size_t index = 0; index < first.cells.size(); ++index)
        EXPECT_EQ(modelBytes(second.cells[index].url), written[index]);
}

TEST(CellMaterialization, AnIdSetWritesOnlyTheNamedTrainableCells) {
    PlannedTown town;
    std::string second = town.plan.trainableCells()[1].id;
    CellRun run = materialise(town.plan, town.modelFolder(), town.partitions(), std::set<std::string>{second, "nope"});
    ASSERT_EQ(run.cells.size(), 1u);
    EXPECT_EQ(run.cells[0].cellId, second);
    EXPECT_EQ(run.progress, (std::vector<std::pair<int64_t, int64_t>>{{0, 1}, {1, 1}}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(town.partitions()), {}), 1);

    TempDir empty;
    CellRun none = materialise(town.plan, town.modelFolder(), empty / "partitions", std::set<std::string>{"nope"});
    EXPECT_TRUE(none.cells.empty());
    EXPECT_EQ(none.progress, (std::vector<std::pair<int64_t, int64_t>>{{0, 0}}));
    EXPECT_FALSE(std::filesystem::exists(empty / "partitions"));
}

TEST(CellMaterialization, CancellationStopsBetweenCellsKeepingThoseWritten) {
    PlannedTown town;
    int asked = 0;
    EXPECT_THROW(materialise(town.plan, town.modelFolder(), town.partitions(), std::nullopt,
                             [&] { return ++asked > 1; }),
                 core::CancellationError);
    EXPECT_EQ(asked, 2);
    auto trainable = town.plan.trainableCells();
    EXPECT_TRUE(std::filesystem::exists(town.partitions() / trainable[0].id / "sparse/0/points3D.bin"));
    EXPECT_FALSE(std::filesystem::exists(town.partitions() / trainable[1].id));
}

TEST(CellMaterialization, PlansThatCannotSayWhichCellsAreWhichAreRefusedBeforeReading) {
    TempDir dir;  // no model: nothing may be read
    PartitionPlan plan;
    PartitionCell cell;
    cell.id = "cell_0";
    cell.imageCount = 20;
    plan.cells = {cell};
    LogLines log;
    auto attempt = [&](const PartitionPlan& candidate, std::optional<std::set<std::string>> ids) {
        return [&, candidate, ids] {
            VastGaussianPartitioner::executePartition(candidate, dir / "sparse/0", dir / "partitions", ids,
                                                      log.sink());
        };
    };
    expectLegacyError(attempt(plan, std::nullopt));  // an old grid plan: no seed
    plan.clusterSeed = 0;
    expectLegacyError(attempt(plan, std::set<std::string>{"cell_0"}));  // no stored ids to resume by
    plan.cells[0].imageCount = 3;
    plan.cells[0].cameraIds = std::vector<int32_t>{1};
    expectLegacyError(attempt(plan, std::set<std::string>{"cell_0"}));  // no trainable cell
    EXPECT_TRUE(log.lines.empty());
    EXPECT_THROW(attempt(plan, std::nullopt)(), tessaron::core::FileError);
}

TEST(CellMaterialization, ASingleTrainableCellKeepsEveryFilteredPoint) {
    PlannedTown town;
    PartitionPlan plan = town.plan;
    plan.cells.resize(1);
    plan.cells[0].cameraIds = std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 100000};
    plan.cells[0].imageCount = 9;
    plan.cells[0].expandedPointIds = std::vector<uint64_t>{1, 2};
    plan.viewsPerFrame = 3;
    PartitionCell skipped = plan.cells[0];
    skipped.id = "cell_9";
    skipped.imageCount = 23;
    plan.cells.push_back(skipped);
    plan.cells[0].imageCount = 24;

    CellRun run = materialise(plan, town.modelFolder(), town.partitions());
    ASSERT_EQ(run.cells.size(), 1u);
    size_t filtered = detail::filterSfMPoints(town.model.points3D).size();
    COLMAPModel model = COLMAPUtils::readModel(run.cells[0].url);
    EXPECT_EQ(model.points3D.size(), filtered);
    EXPECT_EQ(model.images.size(), 8u);  // image 100000 is not in the model
    EXPECT_TRUE(run.log.contains("Single-cell scene: keeping all " + std::to_string(filtered) +
                                 " points (background declip)"));
    EXPECT_TRUE(run.log.contains(plan.cells[0].id + ": 9 images, " + std::to_string(filtered) +
                                 " points → writing COLMAP data"));
    EXPECT_EQ(run.log.lines.back(), "cell_9: 23 images → skipped (need ≥24)");
}

TEST(CellMaterialization, NormalisingMapsTheSceneCentreToTheOrigin) {
    SceneNormalization normalization{3, -1, 7, 4};
    ImageModel image;
    image.qw = std::cos(0.4);
    image.qx = std::sin(0.4) * 0.6;
    image.qz = std::sin(0.4) * 0.8;
    Vec3 centreAtC = {3, -1, 7};
    tessaron::colmap::ImageMap images;
    double w = image.qw, x = image.qx, y = image.qy, z = image.qz;
    double r[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
                      {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
                      {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}};
    // t = -R C for a camera at the scene's centre.
    image.tx = -(r[0][0] * centreAtC.x + r[0][1] * centreAtC.y + r[0][2] * centreAtC.z);
    image.ty = -(r[1][0] * centreAtC.x + r[1][1] * centreAtC.y + r[1][2] * centreAtC.z);
    image.tz = -(r[2][0] * centreAtC.x + r[2][1] * centreAtC.y + r[2][2] * centreAtC.z);
    images[1] = image;
    tessaron::colmap::Point3DMap points;
    points[5].x = 11;
    points[5].y = -1;
    points[5].z = 7;
    detail::normalizeModel(images, points, normalization);
    EXPECT_NEAR(images[1].tx, 0, 1e-15);
    EXPECT_NEAR(images[1].ty, 0, 1e-15);
    EXPECT_NEAR(images[1].tz, 0, 1e-15);
    EXPECT_EQ(images[1].qx, image.qx);
    EXPECT_EQ(points[5].x, 2);
    EXPECT_EQ(points[5].y, 0);
    EXPECT_EQ(points[5].z, 0);
}

TEST(CellMaterialization, ARadiusThatMakesCoordinatesInfiniteWritesNoCell) {
    PlannedTown town;
    PartitionPlan plan = town.plan;
    plan.normalization.radius = 1e-310;  // subnormal: a plan file cannot carry it, a caller could
    try {
        materialise(plan, town.modelFolder(), town.partitions());
        FAIL() << "materialised";
    } catch (const VastGaussianPartitioner::PartitionError& error) {
        EXPECT_EQ(error.kind(), VastGaussianPartitioner::PartitionErrorKind::nonFiniteCoordinate);
    }
    for (const auto& cell : plan.trainableCells())
        EXPECT_FALSE(std::filesystem::exists(town.partitions() / cell.id / "sparse" / "0" / "points3D.bin")) << cell.id;
}
