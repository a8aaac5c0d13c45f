// The window's movement: the springs' curves and times, the one switch that
// turns every animation off, and the two movers most views share (a layer's
// coming and going, a number's rolling digits), stepped on a clock of the
// test's own.
#include <gtest/gtest.h>

#include <QGraphicsOpacityEffect>
#include <QPainter>
#include <QTest>
#include <QVariantAnimation>

#include "AnimationClock.hpp"
#include "support/EventLoopWait.hpp"
#include "views/Motion.hpp"
#include "views/PresenceTransition.hpp"
#include "views/RollingNumberLabel.hpp"

namespace tessaron::testing {
namespace {

using views::Motion;
using views::PresenceTransition;
using views::RollingNumberLabel;

TEST(MotionSpring, SettlesInTheTimeItsResponseAndDampingGive) {
    // ln(1000) / (ζ · 2π / response): within 0.1 % by then.
    EXPECT_EQ(Motion::milliseconds({0.35, 0.8}), 481);
    EXPECT_EQ(Motion::milliseconds({0.4, 0.7}), 628);
    EXPECT_EQ(Motion::milliseconds({0.3, 0.7}), 471);
    // Critically damped: e^(-x)(1 + x) = 0.1 % at x ≈ 9.23.
    EXPECT_EQ(Motion::milliseconds({0.5, 1.0}), 735);

    for (double damping : {0.7, 0.8, 1.0}) {
        const QEasingCurve curve = Motion::curve({0.4, damping});
        EXPECT_DOUBLE_EQ(curve.valueForProgress(0), 0) << damping;
        EXPECT_DOUBLE_EQ(curve.valueForProgress(1), 1) << damping;
        double peak = 0, previous = 0, largestStep = 0;
        for (int step = 1; step <= 1000; ++step) {
            const double value = curve.valueForProgress(step / 1000.0);
            peak = std::max(peak, value);
            largestStep = std::max(largestStep, std::abs(value - previous));
            previous = value;
        }
        // No jump anywhere, the last one included.
        EXPECT_LT(largestStep, 0.02) << damping;
        // An underdamped spring overshoots as much as its damping lets it.
        const double overshoot = damping < 1 ? std::exp(-M_PI * damping / std::sqrt(1 - damping * damping)) : 0;
        EXPECT_NEAR(peak - 1, overshoot, 0.002) << damping;
    }
}

TEST(MotionSwitch, OffEveryAnimationEndsAtOnce) {
    ASSERT_FALSE(Motion::enabled());
    QVariantAnimation animation;
    std::vector<double> shown;
    int finished = 0;
    QObject::connect(&animation, &QVariantAnimation::valueChanged, [&](const QVariant& value) { shown.push_back(value.toDouble()); });
    QObject::connect(&animation, &QVariantAnimation::finished, [&] { ++finished; });
    Motion::run(animation, 0.0, 40.0, {0.4, 0.7});
    EXPECT_EQ(shown.back(), 40.0);
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(animation.state(), QAbstractAnimation::Stopped);

    // On, it takes the spring's time on the clock, and no time on the wall.
    AnimationClock clock;
    ASSERT_TRUE(Motion::enabled());
    Motion::run(animation, 40.0, 0.0, {0.4, 0.7});
    // Every event and timer already due is delivered: the wall clock moves
    // nothing, only the test clock does.
    ASSERT_TRUE(tessaron::testing::deliverEventsDueWithin());
    EXPECT_EQ(animation.state(), QAbstractAnimation::Running);
    EXPECT_EQ(animation.currentTime(), 0);
    clock.step(300);
    EXPECT_GT(shown.back(), -5.0);
    EXPECT_LT(shown.back(), 40.0);
    clock.step(328);
    EXPECT_EQ(shown.back(), 0.0);
    EXPECT_EQ(finished, 2);
}

// Qt's animation timer keeps counting from the clock it had before: the
// wall's, or another driver's that ran on without a frame. The test clock
// catches it up when it takes over, so that an animation started under it
// moves by the steps alone.
TEST(TestAnimationClock, MovesAnimationsByItsStepsWhateverTimePassedBefore) {
    class Elsewhere : public QAnimationDriver {
    public:
        qint64 elapsed() const override { return now; }
        qint64 now = 0;
    };
    QVariantAnimation earlier;
    earlier.setDuration(60000);
    earlier.setStartValue(0.0);
    earlier.setEndValue(1.0);
    {
        Elsewhere elsewhere;
        elsewhere.install();
        earlier.start();
        for (int round = 0; round < 3; ++round) QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
        elsewhere.advance();
        elsewhere.now = 20;
        elsewhere.uninstall();
    }
    AnimationClock clock;
    QVariantAnimation animation;
    animation.setDuration(300);
    animation.setStartValue(0.0);
    animation.setEndValue(300.0);
    animation.start();
    clock.step(150);
    EXPECT_EQ(animation.currentTime(), 150);
    EXPECT_EQ(animation.currentValue().toDouble(), 150.0);
}

TEST(LayerPresence, FadesInAndOutAndTurnsRoundFromWhereItIsDrawn) {
    QWidget window;
    window.resize(200, 200);
    auto* layer = new QWidget(&window);
    layer->setGeometry(10, 10, 50, 50);
    layer->hide();
    window.show();
    PresenceTransition transition(*layer, 200, QEasingCurve::Linear);
    std::vector<double> seen;
    transition.onPresenceChanged = [&](double presence) { seen.push_back(presence); };

    // Off: there at once, no effect left behind; gone at once, hidden.
    transition.setPresent(true);
    EXPECT_TRUE(layer->isVisible());
    EXPECT_EQ(transition.presence(), 1.0);
    EXPECT_EQ(layer->graphicsEffect(), nullptr);
    transition.setPresent(false);
    EXPECT_FALSE(layer->isVisible());
    EXPECT_EQ(transition.presence(), 0.0);

    AnimationClock clock;
    transition.setPresent(true);
    EXPECT_TRUE(transition.isPresent());
    EXPECT_TRUE(layer->isVisible());
    clock.step(100);
    EXPECT_DOUBLE_EQ(transition.presence(), 0.5);
    auto* effect = qobject_cast<QGraphicsOpacityEffect*>(layer->graphicsEffect());
    ASSERT_NE(effect, nullptr);
    EXPECT_DOUBLE_EQ(effect->opacity(), 0.5);
    EXPECT_FALSE(layer->testAttribute(Qt::WA_TransparentForMouseEvents));

    // Sent away half way in: it leaves from that half over the full time,
    // takes no clicks, and ends gone, whatever came between.
    transition.setPresent(false);
    EXPECT_FALSE(transition.isPresent());
    EXPECT_TRUE(layer->testAttribute(Qt::WA_TransparentForMouseEvents));
    clock.step(50);
    EXPECT_DOUBLE_EQ(transition.presence(), 0.375);
    EXPECT_TRUE(layer->isVisible());
    clock.step(200);
    EXPECT_EQ(transition.presence(), 0.0);
    EXPECT_FALSE(layer->isVisible());
    EXPECT_EQ(seen.back(), 0.0);

    transition.setPresent(true);
    clock.step(250);
    EXPECT_EQ(transition.presence(), 1.0);
    EXPECT_EQ(layer->graphicsEffect(), nullptr) << "a layer fully there draws directly";
}

TEST(RollingNumber, ShowsTheNewValueAtOnceAndRollsItsDigitsToIt) {
    RollingNumberLabel label({0.4, 0.7});
    label.setNumber(QStringLiteral("128"), 128);
    label.show();
    EXPECT_EQ(label.text(), "128");
    EXPECT_FALSE(label.isRolling());
    label.setNumber(QStringLiteral("136"), 136);
    EXPECT_EQ(label.text(), "136");
    EXPECT_EQ(label.rollProgress(), 1.0) << "no roll without motion";

    AnimationClock clock;
    label.setNumber(QStringLiteral("144"), 144);
    EXPECT_EQ(label.text(), "144");
    EXPECT_TRUE(label.isRolling());
    clock.step(60);
    const double early = label.rollProgress();
    EXPECT_GT(early, 0.0);
    EXPECT_LT(early, 1.0);
    // A value mid-roll is the text at once and rolls on from the last one.
    label.setNumber(QStringLiteral("1000"), 1000);
    EXPECT_EQ(label.text(), "1000");
    EXPECT_EQ(label.rollProgress(), 0.0);
    clock.run(628);
    EXPECT_FALSE(label.isRolling());
    EXPECT_EQ(label.rollProgress(), 1.0);
    EXPECT_EQ(label.text(), "1000");
}

// Half way through a roll the digits that stay are drawn where they stand,
// the changed ones are on their way: the picture is neither number alone.
TEST(RollingNumber, OnlyTheChangedDigitsMove) {
    QImage still(80, 30, QImage::Format_ARGB32), rolling(80, 30, QImage::Format_ARGB32);
    for (auto [image, progress] : {std::pair{&still, 1.0}, std::pair{&rolling, 0.5}}) {
        image->fill(Qt::white);
        QPainter painter(image);
        painter.setPen(Qt::black);
        RollingNumberLabel::paintRoll(painter, QRectF(0, 0, 80, 30), Qt::AlignLeft, QStringLiteral("19"),
                                      QStringLiteral("20"), progress, true);
    }
    QImage settled(80, 30, QImage::Format_ARGB32);
    settled.fill(Qt::white);
    {
        QPainter painter(&settled);
        painter.setPen(Qt::black);
        RollingNumberLabel::paintRoll(painter, QRectF(0, 0, 80, 30), Qt::AlignLeft, QStringLiteral("29"),
                                      QStringLiteral("20"), 1.0, true);
    }
    EXPECT_EQ(still, settled) << "at the end only the new number is drawn";
    EXPECT_NE(rolling, still);
}

}  // namespace
}  // namespace tessaron::testing
