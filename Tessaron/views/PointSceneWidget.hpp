#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QImage>
#include <QOpenGLWidget>
#include <QPainter>
#include <QPoint>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

#include "views/OrbitCamera.hpp"
#include "views/PointScene.hpp"

namespace tessaron::views {

class PointSceneRenderer;

// The small 3D view both live views draw in: points from a scene's frame,
// camera-facing labels over them, and an orbit camera the user drags and
// zooms. The scene belongs to the owner, which hands in a frame source and
// the camera; the widget keeps drawing while the scene animates. GUI thread
// only.
class PointSceneWidget : public QOpenGLWidget {
    Q_OBJECT
public:
    using FrameSource = std::function<PointSceneFrame(double now)>;
    using AnimationQuery = std::function<bool(double now)>;
    using LabelImageMaker = std::function<QImage(const std::vector<std::string>& lines, const RGBColor& color)>;

    // 30 frames a second: smooth enough for fades and pulses, and it leaves
    // the processor to the training that runs meanwhile.
    static constexpr int frameIntervalMilliseconds = 33;
    // Black like the Final viewer's: the light cloud, the additive flashes
    // and the white label text are made to stand on a dark ground.
    static constexpr RGBColor backdrop{0, 0, 0};
    static QColor backdropColor() { return QColor::fromRgbF(float(backdrop.red), float(backdrop.green), float(backdrop.blue)); }

    explicit PointSceneWidget(QWidget* parent = nullptr);
    ~PointSceneWidget() override;

    // Seconds since the widget was made: the clock of its scene.
    double now() const { return double(clock_.nsecsElapsed()) / 1e9; }

    void setFrameSource(FrameSource source, AnimationQuery animating);
    // The camera the mouse moves; none: the mouse moves nothing.
    void setCamera(OrbitCamera* camera) { camera_ = camera; }
    void setLabelImageMaker(LabelImageMaker maker);
    // Call after the scene changed: draws again and keeps drawing while it
    // animates.
    void sceneChanged();

    // Why nothing can be drawn (the GL program failed); empty when it can.
    const QString& drawError() const { return drawError_; }
    int framesDrawn() const { return framesDrawn_; }

protected:
    void initializeGL() override;
    void paintGL() override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    void paintLabels(QPainter& painter, const PointSceneFrame& frame);
    void releaseGL();

    QElapsedTimer clock_;
    QTimer animationTimer_;
    FrameSource frameSource_;
    AnimationQuery animating_;
    LabelImageMaker labelImageMaker_;
    QHash<QString, QImage> labelImages_;
    OrbitCamera* camera_ = nullptr;
    std::unique_ptr<PointSceneRenderer> renderer_;
    QString drawError_;
    std::optional<QPoint> lastDragPosition_;
    int framesDrawn_ = 0;
};

}  // namespace tessaron::views
