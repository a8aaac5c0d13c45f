// The 3D views over a real COLMAP run on generated photos: the live cloud
// grows while the mapper works, and the finished model shows in the
// partition view as one grey cloud, then split into cells with labels and
// the trained cell standing out. With $TESSARON_SCREENSHOT_DIR set, the
// pictures are written there.
#include <gtest/gtest.h>

#include <QTest>
#include <QTimer>

#include <atomic>
#include <thread>

#include "engines/COLMAPRunner.hpp"
#include "support/EventLoopWait.hpp"
#include "generators/SyntheticScene.hpp"
#include "views/PartitionVisualizerView.hpp"
#include "views/PointSceneWidget.hpp"
#include "views/SfMLivePointCloudView.hpp"
#include "views3d/Views3DTestSupport.hpp"
#include "viewmodel/ViewModelTestSupport.hpp"

namespace tessaron::testing {
namespace {

using generators::renderScene;
namespace fs = std::filesystem;
using viewmodel::PipelineViewModel;
using views::PartitionScene;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

int pixelsDrawn(const QImage& image, const QColor& behind) {
    return countPixels(image, image.rect(), [&](const QColor& pixel) { return pixel != behind; });
}

// Four cells over the cloud's extent, as a plan of the planner would place them.
std::shared_ptr<const partition::PartitionPlan> quadrantPlan(const views::ParsedCloud& cloud) {
    auto plan = std::make_shared<partition::PartitionPlan>();
    const double cx = (cloud.bounds.minX + cloud.bounds.maxX) / 2, cz = (cloud.bounds.minZ + cloud.bounds.maxZ) / 2;
    const double radius = std::max(cloud.bounds.maxX - cloud.bounds.minX, cloud.bounds.maxZ - cloud.bounds.minZ) / 2;
    plan->normalization = {cx, 0, cz, radius};
    plan->sceneBounds = {-1, 1, -1, 1};
    plan->clusterCentroids = std::vector<partition::Point2D>{{0.5, 0.5}, {-0.5, 0.5}, {-0.5, -0.5}, {0.5, -0.5}};
    for (int index = 0; index < 4; ++index) {
        partition::PartitionCell cell;
        cell.id = "cell_" + std::to_string(index);
        cell.imageCount = 12;
        cell.recommendedCapMax = 600'000 + 150'000 * index;
        cell.recommendedIterations = 30'000;
        cell.estimatedMemoryGB = 2.4 + 0.3 * index;
        plan->cells.push_back(cell);
    }
    return plan;
}

TEST(LiveViewsRealRunTest, TheLiveCloudGrowsAndTheModelShowsInThePartitionView) {
    const std::string colmap = engines::COLMAPRunner().colmapPath();
    ASSERT_TRUE(fs::exists(colmap)) << "COLMAP is not installed (looked for " << colmap << ")";
    TempDir folder("views3d-real");
    const fs::path photos = folder / "photos";
    renderScene(photos, 16);
    const fs::path output = folder / "colmap";
    const fs::path snapshots = folder / "snapshots";

    views::SfMLivePointCloudView live;
    live.resize(480, 360);
    live.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&live));
    const QColor behind = views::PointSceneWidget::backdropColor();

    // The mapper writes a snapshot every 3 registered images.
    engines::COLMAPRunner runner;
    engines::COLMAPRunner::Options options;
    options.imagePath = photos.string();
    options.outputPath = output.string();
    options.useGPU = false;
    options.snapshotPath = snapshots.string();
    options.snapshotFrequency = 3;
    std::optional<std::string> failure;
    std::atomic<bool> finished = false;
    std::jthread mapping([&] {
        try {
            runner.run(options);
        } catch (const std::exception& error) {
            failure = error.what();
        }
        finished = true;
    });

    // The newest snapshot, as the view model's poll reads it.
    struct Picture {
        std::size_t points;
        QImage image;
    };
    std::vector<Picture> pictures;
    long long shown = -1;
    while (!finished) {
        QTest::qWait(200);
        long long newest = -1;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(snapshots, error))
            if (entry.is_directory()) newest = std::max(newest, std::stoll(entry.path().filename().string()));
        if (newest <= shown) continue;
        const fs::path snapshotFolder = snapshots / std::to_string(newest);
        auto snapshot = std::make_shared<viewmodel::SfMLiveSnapshot>();
        try {
            for (const auto& point : colmap::COLMAPUtils::readPointPositions(snapshotFolder / "points3D.bin")) {
                snapshot->ids.push_back(point.point3D_id);
                snapshot->positions.push_back({float(point.x), float(point.y), float(point.z)});
            }
        } catch (const std::exception&) {
            continue;  // still being written: the next look reads it
        }
        snapshot->url = snapshotFolder;
        shown = newest;
        live.setSnapshot(snapshot);
        // Once the flash has faded and the camera settled.
        EXPECT_TRUE(QTest::qWaitFor([&] { return !live.scene().isAnimating(live.sceneWidget().now()); }, 30000));
        pictures.push_back({snapshot->ids.size(), frameOf(live.sceneWidget())});
    }
    mapping.join();
    ASSERT_FALSE(failure) << *failure;

    ASSERT_GE(pictures.size(), 3u) << "fewer than three snapshots came while COLMAP mapped";
    const std::size_t middle = pictures.size() / 2;
    const Picture* chosen[3] = {&pictures.front(), &pictures[middle], &pictures.back()};
    EXPECT_LT(chosen[0]->points, chosen[2]->points);
    for (int index = 0; index < 3; ++index) {
        EXPECT_GT(pixelsDrawn(chosen[index]->image, behind), 50) << index;
        keepScreenshot(chosen[index]->image, "live-cloud-" + std::to_string(index + 1));
    }

    PipelineViewModel::Configuration configuration;
    configuration.physicalMemoryBytes = gibibytes(16);
    configuration.manager.supportFolder = folder / "support";
    PipelineViewModel model(configuration);
    model.setColmapDataURL(output);

    // The finished model in the partition view.
    ASSERT_TRUE(model.colmapSparseDir());
    views::PartitionVisualizerView partition(model);
    partition.resize(480, 360);
    partition.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&partition));
    ASSERT_TRUE(QTest::qWaitFor([&] { return partition.isCloudInstalled(); }, 30000));
    const auto cloud = partition.scene().cloud();
    ASSERT_GT(cloud->positions.size(), 100u) << cloud->readError;
    QImage image = frameOf(partition.sceneWidget());
    const int greyPixels = countPixels(image, image.rect(), [&](const QColor& pixel) {
        return showsColor(pixel, PartitionScene::unassignedColor, behind);
    });
    EXPECT_GT(greyPixels, 100);
    keepScreenshot(image, "partition-real-cloud");

    model.setPartitionPlan(quadrantPlan(*cloud));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !partition.scene().isAnimating(partition.sceneWidget().now()); }, 30000));
    image = frameOf(partition.sceneWidget());
    // Only the label plates' soft edges may pass for grey now.
    EXPECT_LT(countPixels(image, image.rect(), [&](const QColor& pixel) {
                  return showsColor(pixel, PartitionScene::unassignedColor, behind);
              }),
              greyPixels / 10);
    keepScreenshot(image, "partition-real-plan");

    partition.setHighlightedCell(2);
    ASSERT_TRUE(deliverEventsDueWithin());
    keepScreenshot(frameOf(partition.sceneWidget()), "partition-real-training");
    EXPECT_EQ(partition.scene().cellOpacityAt(0, partition.sceneWidget().now()), PartitionScene::dimmedOpacity);
}

}  // namespace
}  // namespace tessaron::testing
