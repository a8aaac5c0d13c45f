#include "views/PointSceneWidget.hpp"

#include <QMouseEvent>
#include <QOpenGLContext>
#include <QOpenGLPaintDevice>
#include <QPainter>
#include <QSurfaceFormat>
#include <QWheelEvent>

#include "views/PointSceneRenderer.hpp"

namespace tessaron::views {

PointSceneWidget::PointSceneWidget(QWidget* parent) : QOpenGLWidget(parent) {
    QSurfaceFormat surface = format();
    surface.setRenderableType(QSurfaceFormat::OpenGL);
    surface.setVersion(3, 3);
    surface.setProfile(QSurfaceFormat::CoreProfile);
    surface.setSamples(4);
    setFormat(surface);
    setMinimumSize(120, 90);
    clock_.start();
    animationTimer_.setTimerType(Qt::PreciseTimer);
    animationTimer_.setInterval(frameIntervalMilliseconds);
    connect(&animationTimer_, &QTimer::timeout, this, qOverload<>(&QWidget::update));
}

PointSceneWidget::~PointSceneWidget() {
    releaseGL();
    // The base class destroys the context after this object is gone.
    if (QOpenGLContext* current = context()) disconnect(current, nullptr, this, nullptr);
}

void PointSceneWidget::releaseGL() {
    if (!renderer_) return;
    // The buffers go while their context is current.
    makeCurrent();
    renderer_.reset();
    doneCurrent();
}

void PointSceneWidget::setFrameSource(FrameSource source, AnimationQuery animating) {
    frameSource_ = std::move(source);
    animating_ = std::move(animating);
    sceneChanged();
}

void PointSceneWidget::setLabelImageMaker(LabelImageMaker maker) {
    labelImageMaker_ = std::move(maker);
    labelImages_.clear();
    update();
}

void PointSceneWidget::sceneChanged() {
    update();
    if (animating_ && animating_(now()) && !animationTimer_.isActive()) animationTimer_.start();
}

void PointSceneWidget::initializeGL() {
    renderer_.reset();
    drawError_.clear();
    try {
        renderer_ = std::make_unique<PointSceneRenderer>();
    } catch (const splatrenderer::ShaderProgram::Error& error) {
        drawError_ = QString::fromStdString(error.what());
    }
    // A context that goes away takes the buffers with it.
    connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, &PointSceneWidget::releaseGL,
            Qt::UniqueConnection);
}

void PointSceneWidget::paintGL() {
    const double time = now();
    const PointSceneFrame frame = frameSource_ ? frameSource_(time) : PointSceneFrame{};
    const double ratio = devicePixelRatioF();
    if (renderer_) {
        renderer_->draw(frame, int(width() * ratio), int(height() * ratio), ratio, backdrop, 1.0);
        ++framesDrawn_;
    }
    // Painted straight into the bound framebuffer: a painter on the widget
    // itself would be redirected while the window grabs its picture, and
    // the scene would then cover what it painted.
    QOpenGLPaintDevice device(size() * ratio);
    device.setDevicePixelRatio(ratio);
    QPainter painter(&device);
    paintLabels(painter, frame);
    if (!drawError_.isEmpty()) {
        painter.fillRect(rect(), backdropColor());
        painter.setPen(Qt::white);
        painter.drawText(rect().adjusted(12, 12, -12, -12), Qt::AlignCenter | Qt::TextWordWrap, drawError_);
    }
    painter.end();
    if (!(animating_ && animating_(time))) animationTimer_.stop();
}

void PointSceneWidget::paintLabels(QPainter& painter, const PointSceneFrame& frame) {
    if (frame.labels.empty() || !labelImageMaker_) return;
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    for (const auto& label : frame.labels) {
        const auto projected = frame.camera.project(label.position, width(), height());
        if (!projected) continue;
        QString key = QString::number(label.color.red) + "," + QString::number(label.color.green) + "," +
                      QString::number(label.color.blue);
        for (const auto& line : label.lines) key += "\n" + QString::fromStdString(line);
        auto image = labelImages_.find(key);
        if (image == labelImages_.end()) image = labelImages_.insert(key, labelImageMaker_(label.lines, label.color));
        const double pixelHeight = label.worldHeight * frame.camera.pixelsPerUnit(projected->depth, height());
        const double pixelWidth = pixelHeight * label.aspect;
        painter.setOpacity(label.opacity);
        painter.drawImage(QRectF(projected->x - pixelWidth / 2, projected->y - pixelHeight / 2, pixelWidth, pixelHeight),
                          *image);
    }
    painter.setOpacity(1);
}

void PointSceneWidget::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) lastDragPosition_ = event->position().toPoint();
    QOpenGLWidget::mousePressEvent(event);
}

void PointSceneWidget::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton) || !lastDragPosition_ || !camera_) {
        QOpenGLWidget::mouseMoveEvent(event);
        return;
    }
    const QPoint position = event->position().toPoint();
    const QPoint moved = position - *lastDragPosition_;
    lastDragPosition_ = position;
    camera_->orbit(moved.x(), moved.y(), now());
    update();
}

void PointSceneWidget::wheelEvent(QWheelEvent* event) {
    if (!camera_) {
        QOpenGLWidget::wheelEvent(event);
        return;
    }
    // One notch of a common wheel is 120 eighths of a degree.
    camera_->zoom(event->angleDelta().y() / 120.0, now());
    update();
    event->accept();
}

}  // namespace tessaron::views
