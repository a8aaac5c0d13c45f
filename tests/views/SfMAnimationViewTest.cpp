// The decorative SfM animation: the fixed random points, the build-up over
// a cycle and the dimmed rest.
#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <QTest>

#include <cmath>

#include "views/SeededGenerator.hpp"
#include "views/SfMAnimationView.hpp"

namespace tessaron::testing {
namespace {

using views::SeededGenerator;
using views::SfMAnimationView;

TEST(SeededGeneratorTest, DrawsTheSameSequenceFromTheSameStateWithinTheRange) {
    SeededGenerator first, second;
    // The first output: one MMIX step from the seed, then SplitMix64's mix.
    uint64_t state = SeededGenerator::initialState * 6364136223846793005ull + 1442695040888963407ull;
    uint64_t mixed = (state ^ (state >> 30)) * 0xBF58476D1CE4E5B9ull;
    mixed = (mixed ^ (mixed >> 27)) * 0x94D049BB133111EBull;
    EXPECT_EQ(first.next(), mixed ^ (mixed >> 31));
    second.next();
    for (int index = 0; index < 1000; ++index) {
        const double value = first.uniform(0.14, 0.86);
        EXPECT_EQ(value, second.uniform(0.14, 0.86));
        EXPECT_GE(value, 0.14);
        EXPECT_LE(value, 0.86);
    }
    for (int index = 0; index < 1000; ++index) EXPECT_LT(first.next(7), 7u);
}

TEST(SfMAnimationViewTest, BuildsTheSamePointsAndSevenCamerasOnACircle) {
    SfMAnimationView a, b;
    ASSERT_EQ(a.points().size(), 140u);
    ASSERT_EQ(a.cameras().size(), 7u);
    for (std::size_t index = 0; index < a.points().size(); ++index) {
        EXPECT_EQ(a.points()[index].pos, b.points()[index].pos);
        EXPECT_EQ(a.points()[index].twinkle, b.points()[index].twinkle);
        EXPECT_LE(a.points()[index].birth, 0.75);
        EXPECT_GE(a.points()[index].size, 1.5);
    }
    EXPECT_NEAR(a.cameras()[0].pos.x(), 0.92, 1e-12);
    EXPECT_NEAR(a.cameras()[0].pos.y(), 0.5, 1e-12);
    EXPECT_NEAR(a.cameras()[4].birth, 0.8 * 4 / 7, 1e-12);
}

TEST(SfMAnimationViewTest, ProgressBuildsOverFourSecondsAndHoldsForTwo) {
    EXPECT_EQ(SfMAnimationView::progress(6 * 1000 + 2, true), 0.5);
    EXPECT_EQ(SfMAnimationView::progress(6 * 1000 + 4.5, true), 1.0);
    EXPECT_NEAR(SfMAnimationView::progress(6 * 1000 + 0.4, true), 0.1, 1e-9);
    EXPECT_EQ(SfMAnimationView::progress(6 * 1000 + 2, false), 1.0);
}

// The number of cameras drawn at `t`, seen as cyan dots at their places.
int camerasDrawn(const SfMAnimationView& view, double t) {
    QImage image(400, 300, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::black);
    QPainter painter(&image);
    view.paintFrame(painter, image.size(), t);
    painter.end();
    int drawn = 0;
    for (const auto& camera : view.cameras()) {
        const QColor pixel = image.pixelColor(int(400 * camera.pos.x()), int(300 * camera.pos.y()));
        if (pixel.blue() > 60 && pixel.blue() > pixel.red() + 20) ++drawn;
    }
    return drawn;
}

TEST(SfMAnimationViewTest, HalfWayThroughACycleCamerasZeroToFourShowAndAtRestAllDo) {
    SfMAnimationView view;
    view.setRunning(true);
    EXPECT_EQ(camerasDrawn(view, 6 * 1000 + 2), 5);
    EXPECT_EQ(camerasDrawn(view, 6 * 1000 + 0.4), 1);
    view.setRunning(false);
    EXPECT_EQ(camerasDrawn(view, 6 * 1000 + 0.01), 7);
}

TEST(SfMAnimationViewTest, RestsAtFortyPercentAndEasesToFullWhenRunning) {
    SfMAnimationView view;
    view.resize(300, 200);
    view.show();
    EXPECT_NEAR(view.currentOpacity(), 0.4, 1e-9);
    view.setRunning(true);
    EXPECT_LT(view.currentOpacity(), 0.5);
    EXPECT_TRUE(QTest::qWaitFor([&] { return std::abs(view.currentOpacity() - 1.0) < 1e-9; }, 30000))
        << view.currentOpacity();
    view.setRunning(false);
    EXPECT_GT(view.currentOpacity(), 0.9);
    EXPECT_TRUE(QTest::qWaitFor([&] { return std::abs(view.currentOpacity() - 0.4) < 1e-9; }, 30000))
        << view.currentOpacity();
}

}  // namespace
}  // namespace tessaron::testing
