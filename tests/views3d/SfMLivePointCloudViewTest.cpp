// The live SfM cloud on screen: the first snapshot flashes, then settles
// into the base colour; a later one flashes only its new points.
#include <gtest/gtest.h>

#include <QTest>

#include <cmath>

#include "views/PointSceneWidget.hpp"
#include "views/SfMLivePointCloudView.hpp"
#include "views3d/Views3DTestSupport.hpp"

namespace tessaron::testing {
namespace {

using views::SfMLiveScene;

// A disc of points on the plane y = 0, ids from 1.
viewmodel::SnapshotPointer disc(const std::string& folder, int count) {
    auto snapshot = std::make_shared<viewmodel::SfMLiveSnapshot>();
    snapshot->url = "/snapshots/" + folder;
    for (int index = 0; index < count; ++index) {
        const double radius = std::sqrt((index + 0.5) / 3000.0) * 2, angle = index * 2.39996;
        snapshot->ids.push_back(uint64_t(index + 1));
        snapshot->positions.push_back({float(radius * std::cos(angle)), 0.0f, float(radius * std::sin(angle))});
    }
    return snapshot;
}

TEST(SfMLivePointCloudViewTest, NewPointsFlashThenSettleIntoTheBaseColour) {
    views::SfMLivePointCloudView view;
    view.resize(400, 300);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    auto& widget = view.sceneWidget();
    const QColor behind = views::PointSceneWidget::backdropColor();
    auto base = [&](const QImage& image) {
        return countPixels(image, image.rect(),
                           [&](const QColor& pixel) { return showsColor(pixel, SfMLiveScene::liveBaseColor, behind); });
    };
    auto drawn = [&](const QImage& image) {
        return countPixels(image, image.rect(), [&](const QColor& pixel) { return pixel != behind; });
    };

    view.setSnapshot(nullptr);
    EXPECT_EQ(drawn(frameOf(widget)), 0);

    view.setSnapshot(disc("a", 2000));
    const QImage flashing = frameOf(widget);
    EXPECT_GT(drawn(flashing), 2000);
    auto settle = [&] {
        ASSERT_TRUE(QTest::qWaitFor([&] { return !view.scene().isAnimating(widget.now()); }, 30000));
    };
    settle();
    const QImage settled = frameOf(widget);
    // Point edges blend with the ground, so a good part of the drawn pixels
    // is no exact colour.
    EXPECT_GT(base(settled), drawn(settled) / 4);
    EXPECT_LT(base(flashing) * 4, base(settled)) << "the whole first snapshot flashes";

    // Only the 1000 new points flash; the camera glides out to the larger disc.
    view.setSnapshot(disc("b", 3000));
    EXPECT_EQ(view.scene().flashes().back().points->positions.size(), 1000u);
    settle();
    EXPECT_GT(drawn(frameOf(widget)), drawn(settled));
    EXPECT_GT(widget.framesDrawn(), 10);
    EXPECT_TRUE(widget.drawError().isEmpty());
}

}  // namespace
}  // namespace tessaron::testing
