#include "views/CellCountBadge.hpp"

#include <QEasingCurve>
#include <algorithm>
#include <QGraphicsDropShadowEffect>
#include <QPainter>
#include <QSequentialAnimationGroup>
#include <QVBoxLayout>
#include <QVariantAnimation>

#include "views/PanelWidgets.hpp"

namespace tessaron::views {
namespace {

constexpr double peakScale = 1.18;
constexpr int riseMilliseconds = 120;
constexpr int settleMilliseconds = 500;

QFont countFont() {
    // DejaVu's digits are all one width, so the number does not jitter.
    return theme::systemFont(34, theme::Weight::bold);
}

}  // namespace

// The number, drawn scaled about its bottom-leading corner.
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
        text_ = text;
        pulse_ = pulse;
        shadow_->setColor(theme::color(theme::NamedColor::yellow, std::clamp(pulse.glow * 0.9, 0.0, 1.0)));
        updateGeometry();
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
        painter.drawText(QPointF(0, -metrics.descent()), text_);
    }

private:
    QString text_;
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

    // Up over 0.12 s, back over 0.5 s: scale 1 → 1.18 → 1, glow 0 → 1 → 0.
    animation_ = new QSequentialAnimationGroup(this);
    auto* rise = new QVariantAnimation(animation_);
    rise->setDuration(riseMilliseconds);
    rise->setStartValue(0.0);
    rise->setEndValue(1.0);
    rise->setEasingCurve(QEasingCurve::InOutCubic);
    auto* settle = new QVariantAnimation(animation_);
    settle->setDuration(settleMilliseconds);
    settle->setStartValue(1.0);
    settle->setEndValue(0.0);
    settle->setEasingCurve(QEasingCurve::OutCubic);
    for (auto* step : {rise, settle}) {
        connect(step, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
            const double t = value.toDouble();
            pulse_ = Pulse{1.0 + (peakScale - 1.0) * t, t};
            text_->set(QString::number(count_), pulse_);
        });
        animation_->addAnimation(step);
    }
}

void CellCountBadge::setCount(qint64 count) {
    if (count == count_) return;
    count_ = count;
    text_->set(QString::number(count_), pulse_);
    animation_->stop();
    animation_->start();
}

bool CellCountBadge::isPulsing() const { return animation_->state() == QAbstractAnimation::Running; }

}  // namespace tessaron::views
