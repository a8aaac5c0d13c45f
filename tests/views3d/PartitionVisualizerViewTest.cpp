// The partition view on screen: a model of four blobs of points, seen from
// below (its cameras say up is -Y), so +X shows on the right and +Z on top.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "colmap/COLMAPUtils.hpp"
#include "support/EventLoopWait.hpp"
#include "support/TempDir.hpp"
#include "views/PartitionVisualizerView.hpp"
#include "views/PointSceneWidget.hpp"
#include "views3d/Views3DTestSupport.hpp"
#include "viewmodel/ViewModelTestSupport.hpp"

namespace tessaron::testing {
namespace {

namespace fs = std::filesystem;
using views::PartitionScene;
using views::PartitionVisualizerView;

const auto registered = ::testing::AddGlobalTestEnvironment(new PrivateUserFolders);

// Blobs of 600 points around (+-2, 0, +-2); one camera with the identity
// rotation, so up is -Y.
void writeBlobs(const fs::path& sparse) {
    colmap::CameraMap cameras;
    cameras[1] = {1, 0, 640, 480, {500, 320, 240}};
    colmap::ImageMap images;
    images[1].imageId = 1;
    images[1].cameraId = 1;
    images[1].name = "image_000.jpg";
    colmap::Point3DMap points;
    uint64_t id = 1;
    for (double bx : {-2.0, 2.0})
        for (double bz : {-2.0, 2.0})
            for (int i = 0; i < 600; ++i) {
                colmap::Point3DModel point;
                point.point3D_id = id++;
                point.x = bx + 0.03 * (i % 40) - 0.6;
                point.y = 0.01 * (i % 21) - 0.1;
                point.z = bz + 0.08 * (i / 40) - 0.6;
                points[point.point3D_id] = point;
            }
    colmap::COLMAPUtils::writeModel(cameras, images, points, sparse);
}

std::shared_ptr<const partition::PartitionPlan> quadrantPlan() {
    auto plan = std::make_shared<partition::PartitionPlan>();
    for (const char* id : {"cell_0", "cell_1", "cell_2", "cell_3"}) {
        partition::PartitionCell cell;
        cell.id = id;
        cell.imageCount = 20;
        cell.recommendedCapMax = 800'000;
        cell.recommendedIterations = 30'000;
        cell.estimatedMemoryGB = 2.5;
        plan->cells.push_back(cell);
    }
    plan->sceneBounds = {-1.3, 1.3, -1.3, 1.3};
    plan->normalization = {0, 0, 0, 2};
    // right top, left top, left bottom, right bottom on screen
    plan->clusterCentroids = std::vector<partition::Point2D>{{1, 1}, {-1, 1}, {-1, -1}, {1, -1}};
    return plan;
}

class PartitionVisualizerViewTest : public ::testing::Test {
protected:
    PartitionVisualizerViewTest() {
        writeBlobs(folder_ / "model" / "sparse" / "0");
        viewmodel::PipelineViewModel::Configuration configuration;
        configuration.physicalMemoryBytes = gibibytes(16);
        configuration.manager.supportFolder = folder_ / "support";
        model_ = std::make_unique<viewmodel::PipelineViewModel>(configuration);
    }

    std::unique_ptr<PartitionVisualizerView> showView() {
        auto view = std::make_unique<PartitionVisualizerView>(*model_);
        view->resize(400, 300);
        view->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(view.get()));
        EXPECT_TRUE(QTest::qWaitFor([&] { return view->isCloudInstalled(); }, 30000));
        return view;
    }

    TempDir folder_{"partition-view"};
    std::unique_ptr<viewmodel::PipelineViewModel> model_;
};

const QRect rightTop(200, 0, 200, 150), leftTop(0, 0, 200, 150), leftBottom(0, 150, 200, 150);

TEST_F(PartitionVisualizerViewTest, CloudThenPlanCellsWithLabelsThenTheTrainedCellStandsOut) {
    model_->setColmapDataURL(folder_ / "model");
    auto view = showView();
    const QColor behind = views::PointSceneWidget::backdropColor();

    // No plan, no progress: one grey cloud.
    QImage image = frameOf(view->sceneWidget());
    const int grey = countPixels(image, image.rect(), [&](const QColor& pixel) {
        return showsColor(pixel, PartitionScene::unassignedColor, behind);
    });
    EXPECT_GT(grey, 2000);
    keepScreenshot(image, "partition-cloud");

    // A plan arrives while the view shows: cells in the palette, a label on each.
    model_->setPartitionPlan(quadrantPlan());
    EXPECT_TRUE(view->scene().spinStart().has_value());
    // The turn and the camera's glide have ended.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view->scene().isAnimating(view->sceneWidget().now()); }, 30000));
    image = frameOf(view->sceneWidget());
    keepScreenshot(image, "partition-plan");
    const auto& palette = PartitionScene::cellPalette();
    auto showing = [&](const QRect& rect, const views::RGBColor& color, double opacity = 1) {
        return countPixels(image, rect, [&](const QColor& pixel) { return showsColor(pixel, color, behind, opacity); });
    };
    const int fullRed = showing(rightTop, palette[0]);
    EXPECT_GT(fullRed, 500);
    EXPECT_EQ(showing(rightTop, palette[1]), 0);
    EXPECT_GT(showing(leftTop, palette[1]), 500);
    EXPECT_GT(showing(leftBottom, palette[2]), 500);
    // The label plates' white text.
    auto white = [](const QColor& pixel) { return pixel.red() > 225 && pixel.green() > 225 && pixel.blue() > 225; };
    EXPECT_GT(countPixels(image, rightTop, white), 5);
    // The window's own picture of the view holds the labels too.
    const QImage composed = view->grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_GT(countPixels(composed, rightTop, white), 5);
    ASSERT_EQ(view->scene().labelNodes().size(), 4u);
    EXPECT_EQ(view->scene().labelNodes()[0].lines, (std::vector<std::string>{"cap 800K", "30K it · 2.5 GB"}));

    // Training the second cell: it pulses, the others sit at 0.35.
    view->setHighlightedCell(1);
    ASSERT_TRUE(deliverEventsDueWithin());
    image = frameOf(view->sceneWidget());
    keepScreenshot(image, "partition-training");
    // Dimmed points that overlap add up, so only some show exactly 0.35.
    EXPECT_GT(showing(rightTop, palette[0], PartitionScene::dimmedOpacity), 50);
    EXPECT_LT(showing(rightTop, palette[0]), fullRed / 10);
    EXPECT_GT(countPixels(image, rightTop, [&](const QColor& pixel) { return pixel.red() > pixel.green() + 40; }), 500);
    const double pulse = view->scene().cellOpacityAt(1, view->sceneWidget().now());
    EXPECT_GE(pulse, 0.7);
    EXPECT_GT(countPixels(image, leftTop, [&](const QColor& pixel) { return pixel.green() > pixel.red() + 60; }), 500);
    EXPECT_TRUE(view->scene().isAnimating(view->sceneWidget().now() + 100));
}

TEST_F(PartitionVisualizerViewTest, DraggingTurnsTheCameraAndTheWheelMovesItIn) {
    model_->setColmapDataURL(folder_ / "model");
    model_->setPartitionPlan(quadrantPlan());
    auto view = showView();
    // Made with a plan already present: no turn.
    EXPECT_FALSE(view->scene().spinStart().has_value());
    auto& widget = view->sceneWidget();
    const auto before = view->scene().camera().poseAt(widget.now());
    const QImage still = frameOf(widget);

    QTest::mousePress(&widget, Qt::LeftButton, {}, QPoint(200, 150));
    QTest::mouseMove(&widget, QPoint(260, 150));
    QTest::mouseMove(&widget, QPoint(320, 170));
    QTest::mouseRelease(&widget, Qt::LeftButton, {}, QPoint(320, 170));
    const auto turned = view->scene().camera().poseAt(widget.now());
    EXPECT_GT((turned.position - before.position).length(), 1.0);
    EXPECT_NEAR((turned.position - view->scene().camera().target()).length(),
                (before.position - view->scene().camera().target()).length(), 1e-6);
    EXPECT_NE(frameOf(widget), still);

    const double distance = (turned.position - view->scene().camera().target()).length();
    QWheelEvent wheel(QPointF(200, 150), widget.mapToGlobal(QPointF(200, 150)), {}, {0, 120}, Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&widget, &wheel);
    EXPECT_NEAR((view->scene().camera().poseAt(widget.now()).position - view->scene().camera().target()).length(),
                distance * 0.9, 1e-6);
}

TEST_F(PartitionVisualizerViewTest, AnUnreadableModelDrawsNothingAndAnotherFolderIsReadAnew) {
    model_->setColmapDataURL(folder_ / "missing");
    auto view = showView();
    EXPECT_TRUE(view->scene().cloud()->positions.empty());
    QImage image = frameOf(view->sceneWidget());
    const QColor behind = views::PointSceneWidget::backdropColor();
    EXPECT_EQ(countPixels(image, image.rect(), [&](const QColor& pixel) { return pixel != behind; }), 0);

    QSignalSpy installed(view.get(), &PartitionVisualizerView::cloudInstalled);
    model_->setColmapDataURL(folder_ / "model");
    ASSERT_TRUE(installed.wait(10000));
    EXPECT_EQ(view->scene().cloud()->positions.size(), 2400u);
    ASSERT_TRUE(deliverEventsDueWithin());
    image = frameOf(view->sceneWidget());
    EXPECT_GT(countPixels(image, image.rect(), [&](const QColor& pixel) { return pixel != behind; }), 2000);
}

}  // namespace
}  // namespace tessaron::testing
