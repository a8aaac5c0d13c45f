#include "views/SfMAnimationView.hpp"

#include <QDateTime>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

#include "views/PointScene.hpp"
#include "views/SeededGenerator.hpp"

namespace tessaron::views {

namespace {

const QColor cyan = QColor::fromRgbF(0.196f, 0.678f, 0.902f);

}  // namespace

SfMAnimationView::SfMAnimationView(QWidget* parent) : QWidget(parent) {
    SeededGenerator generator;
    for (int index = 0; index < featurePointCount; ++index) {
        FeaturePoint point;
        const double x = generator.uniform(0.14, 0.86);
        const double y = generator.uniform(0.16, 0.84);
        point.pos = {x, y};
        point.birth = generator.uniform(0, 0.75);
        point.size = generator.uniform(1.5, 3.5);
        point.twinkle = generator.uniform(0, 2 * M_PI);
        points_.push_back(point);
    }
    for (int index = 0; index < cameraCount; ++index) {
        const double angle = 2 * M_PI * index / cameraCount;
        cameras_.push_back({{0.5 + 0.42 * std::cos(angle), 0.5 + 0.36 * std::sin(angle)}, angle,
                            0.8 * index / cameraCount});
    }
    setAttribute(Qt::WA_OpaquePaintEvent);
    frameTimer_.setTimerType(Qt::PreciseTimer);
    frameTimer_.setInterval(1000 / 60);
    connect(&frameTimer_, &QTimer::timeout, this, qOverload<>(&QWidget::update));
    sinceChange_.start();
}

void SfMAnimationView::setRunning(bool running) {
    if (running == running_) return;
    opacityAtChange_ = currentOpacity();
    running_ = running;
    sinceChange_.restart();
    // Frames keep coming while running, and for the fade after a stop.
    frameTimer_.start();
    update();
}

double SfMAnimationView::currentOpacity() const {
    const double target = running_ ? 1.0 : restingOpacity;
    const double fraction = easing::easeInEaseOut(double(sinceChange_.elapsed()) / 1000 / fadeSeconds);
    return opacityAtChange_ + (target - opacityAtChange_) * fraction;
}

double SfMAnimationView::progress(double t, bool running) {
    return running ? std::min(std::fmod(t, 6.0) * 0.25, 1.0) : 1.0;
}

double SfMAnimationView::referenceTime() {
    // 2001-01-01 00:00:00 UTC in seconds since 1970.
    constexpr double referenceEpoch = 978307200;
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000 - referenceEpoch;
}

void SfMAnimationView::paintFrame(QPainter& painter, const QSizeF& size, double t) const {
    const double w = size.width(), h = size.height();
    const double p = progress(t, running_);
    const double outer = painter.opacity();
    painter.setRenderHint(QPainter::Antialiasing);
    const QPointF centre(w / 2, h / 2);

    QColor ray = cyan;
    ray.setAlphaF(0.1f);
    painter.setPen(QPen(ray, 1));
    for (const auto& camera : cameras_)
        if (camera.birth <= p) painter.drawLine(QPointF(w * camera.pos.x(), h * camera.pos.y()), centre);

    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    for (const auto& point : points_) {
        if (point.birth > p) continue;
        const double alpha = std::min((p - point.birth) / 0.15, 1.0) * (0.6 + 0.4 * std::sin(2 * t + point.twinkle));
        painter.setOpacity(outer * std::clamp(alpha, 0.0, 1.0));
        painter.drawEllipse(QPointF(w * point.pos.x(), h * point.pos.y()), point.size, point.size);
    }
    painter.setOpacity(outer);

    for (const auto& camera : cameras_) {
        if (camera.birth > p) continue;
        QColor colour = cyan;
        colour.setAlphaF(float(std::min((p - camera.birth) / 0.2, 1.0)));
        const double x = w * camera.pos.x(), y = h * camera.pos.y();
        const double c = std::cos(camera.angle + M_PI), s = std::sin(camera.angle + M_PI);
        // It opens from the camera towards the centre, 16 deep and 20 wide.
        QPainterPath glyph;
        glyph.moveTo(x, y);
        glyph.lineTo(x + 16 * c - 10 * s, y + 16 * s + 10 * c);
        glyph.lineTo(x + 16 * c + 10 * s, y + 16 * s - 10 * c);
        glyph.closeSubpath();
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(colour, 1.5));
        painter.drawPath(glyph);
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        painter.drawEllipse(QPointF(x, y), 2, 2);
    }
}

void SfMAnimationView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    // The dark ground of the live cloud that takes its place: white points
    // would vanish on a light window.
    painter.fillRect(rect(), Qt::black);
    const double opacity = currentOpacity();
    painter.setOpacity(opacity);
    paintFrame(painter, size(), referenceTime());
    const bool fading = sinceChange_.elapsed() < qint64(fadeSeconds * 1000);
    if (!running_ && !fading) frameTimer_.stop();
}

}  // namespace tessaron::views
