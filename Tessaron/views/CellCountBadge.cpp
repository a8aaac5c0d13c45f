#include "views/CellCountBadge.hpp"

#include <QEasingCurve>
#include <QGraphicsDropShadowEffect>
#include <QPainter>
#include <QParallelAnimationGroup>
#include <QSequentialAnimationGroup>
#include <QVBoxLayout>
#include <QVariantAnimation>

#include <algorithm>

#include "views/Motion.hpp"
#include "views/PanelWidgets.hpp"
#include "views/RollingNumberLabel.hpp"

namespace tessaron::views {
namespace {

constexpr double peakScale = 1.18;
// One pulse: both tracks rise over 0.12 s; the scale springs back over
// 0.45 s (a spring of 0.5 s without bounce), the glow eases out over 0.5 s.
constexpr int riseMilliseconds = 120;
constexpr int scaleSettleMilliseconds = 450;
constexpr int glowSettleMilliseconds = 500;
constexpr Motion::Spring settleSpring{0.5, 1.0};
// The count's digits roll with this spring.
constexpr Motion::Spring countSpring{0.3, 0.7};

QFont countFont() {
    // DejaVu's digits are all one width, so the number does not jitter.
    return theme::systemFont(34, theme::Weight::bold);
}

// One keyframe of a track: from `from` to `to` over `milliseconds`.
QVariantAnimation* keyframe(double from, double to, int milliseconds, const QEasingCurve& curve, QObject* parent) {
    auto* step = new QVariantAnimation(parent);
    step->setStartValue(from);
    step->setEndValue(to);
    step->setDuration(milliseconds);
    step->setEasingCurve(curve);
    return step;
}

}  // namespace

// The number, drawn scaled about its bottom-leading corner, its digits
// rolling from the previous count.
class CellCountBadge::CountText : public QWidget {
public:
    explicit CountText(QWidget* parent) : QWidget(parent) {
        setAttribute(Qt::WA_TranslucentBackground);
        shadow_ = new QGraphicsDropShadowEffect(this);
        shadow_->setOffset(0, 0);
        shadow_->setBlurRadius(10);
        shadow_->setColor(Qt::transparent);
        setGraphicsEffect(shadow_);
    }
    void set(const QString& text, Pulse pulse) {
        if (text != text_) updateGeometry();
        text_ = text;
        pulse_ = pulse;
        shadow_->setColor(theme::color(theme::NamedColor::yellow, std::clamp(pulse.glow * 0.9, 0.0, 1.0)));
        update();
    }
    void setRoll(const QString& from, double progress, bool upwards) {
        from_ = from;
        rollProgress_ = progress;
        upwards_ = upwards;
        update();
    }
    QSize sizeHint() const override {
        QFontMetrics metrics(countFont());
        // Room for the largest pulse.
        return QSize(int(metrics.horizontalAdvance(text_) * peakScale) + 4, int(metrics.height() * peakScale));
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::TextAntialiasing);
        painter.setFont(countFont());
        painter.setPen(theme::color(theme::NamedColor::primary));
        const QFontMetrics metrics(countFont());
        painter.translate(0, height());
        painter.scale(pulse_.scale, pulse_.scale);
        if (rollProgress_ < 1) {
            const QRectF line(0, -metrics.height(), metrics.horizontalAdvance(text_), metrics.height());
            RollingNumberLabel::paintRoll(painter, line, Qt::AlignLeft, from_, text_, rollProgress_, upwards_);
            return;
        }
        painter.drawText(QPointF(0, -metrics.descent()), text_);
    }

private:
    QString text_;
    QString from_;
    double rollProgress_ = 1;
    bool upwards_ = true;
    Pulse pulse_;
    QGraphicsDropShadowEffect* shadow_;
};

CellCountBadge::CellCountBadge(qint64 count, QWidget* parent) : QWidget(parent), count_(count) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    text_ = new CountText(this);
    text_->set(QString::number(count_), pulse_);
    column->addWidget(text_, 0, Qt::AlignLeft);
    column->addWidget(styledLabel(QStringLiteral("cells so far \u2014 watch them split in the background"),
                                  theme::TextStyle::caption2, theme::NamedColor::secondary));

    // Two tracks side by side, each of two keyframes.
    animation_ = new QParallelAnimationGroup(this);
    auto* scale = new QSequentialAnimationGroup(animation_);
    auto* scaleRise = keyframe(1.0, peakScale, riseMilliseconds, QEasingCurve::InOutCubic, scale);
    auto* scaleSettle = keyframe(peakScale, 1.0, scaleSettleMilliseconds, Motion::curve(settleSpring), scale);
    scale->addAnimation(scaleRise);
    scale->addAnimation(scaleSettle);
    auto* glow = new QSequentialAnimationGroup(animation_);
    auto* glowRise = keyframe(0.0, 1.0, riseMilliseconds, QEasingCurve::InOutCubic, glow);
    auto* glowSettle = keyframe(1.0, 0.0, glowSettleMilliseconds, QEasingCurve::InOutCubic, glow);
    glow->addAnimation(glowRise);
    glow->addAnimation(glowSettle);
    animation_->addAnimation(scale);
    animation_->addAnimation(glow);
    for (auto* step : {scaleRise, scaleSettle})
        connect(step, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
            pulse_.scale = value.toDouble();
            text_->set(QString::number(count_), pulse_);
        });
    for (auto* step : {glowRise, glowSettle})
        connect(step, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
            pulse_.glow = value.toDouble();
            text_->set(QString::number(count_), pulse_);
        });
    connect(animation_, &QAbstractAnimation::finished, this, [this] {
        pulse_ = Pulse{};
        text_->set(QString::number(count_), pulse_);
    });

    roll_ = new QVariantAnimation(this);
    connect(roll_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        text_->setRoll(rolledFrom_, value.toDouble(), rollsUp_);
    });
    connect(roll_, &QVariantAnimation::finished, this, [this] { text_->setRoll({}, 1, rollsUp_); });
}

void CellCountBadge::setCount(qint64 count) {
    if (count == count_) return;
    // A count that comes mid-roll rolls on from the count last set.
    rolledFrom_ = QString::number(count_);
    rollsUp_ = count > count_;
    count_ = count;
    text_->set(QString::number(count_), pulse_);
    Motion::run(*roll_, 0.0, 1.0, countSpring);
    // The pulse is pure movement: without motion there is none.
    animation_->stop();
    if (Motion::enabled()) animation_->start();
}

bool CellCountBadge::isPulsing() const { return animation_->state() == QAbstractAnimation::Running; }

}  // namespace tessaron::views
