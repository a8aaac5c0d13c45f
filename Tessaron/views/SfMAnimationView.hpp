#pragma once

#include <QElapsedTimer>
#include <QPointF>
#include <QTimer>
#include <QWidget>

#include <vector>

namespace tessaron::views {

// The decorative picture of structure from motion before the first
// snapshot: feature points twinkle into view, seven camera glyphs appear
// around the centre with faint rays to it. Each 6-second cycle builds up
// over 4 s and holds for 2 s while it runs; at rest everything shows,
// dimmed to 0.4. The points and cameras are the same in every run.
// GUI thread only.
class SfMAnimationView : public QWidget {
    Q_OBJECT
public:
    struct FeaturePoint {
        QPointF pos;  // fractions of the canvas
        double birth = 0;
        double size = 0;  // radius
        double twinkle = 0;
    };
    struct CameraGlyph {
        QPointF pos;
        double angle = 0;
        double birth = 0;
    };

    static constexpr int featurePointCount = 140;
    static constexpr int cameraCount = 7;
    static constexpr double restingOpacity = 0.4;
    static constexpr double fadeSeconds = 0.4;

    explicit SfMAnimationView(QWidget* parent = nullptr);

    // Runs while structure from motion runs; rests, dimmed, otherwise.
    void setRunning(bool running);
    bool isRunning() const { return running_; }

    const std::vector<FeaturePoint>& points() const { return points_; }
    const std::vector<CameraGlyph>& cameras() const { return cameras_; }
    // The whole picture's opacity now (it eases over 0.4 s after a change).
    double currentOpacity() const;

    // How far the build-up is at `t` seconds since 2001-01-01.
    static double progress(double t, bool running);
    // One frame on a canvas of `size` at `t`.
    void paintFrame(QPainter& painter, const QSizeF& size, double t) const;
    // Seconds since 2001-01-01 now.
    static double referenceTime();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::vector<FeaturePoint> points_;
    std::vector<CameraGlyph> cameras_;
    bool running_ = false;
    QTimer frameTimer_;
    QElapsedTimer sinceChange_;
    double opacityAtChange_ = restingOpacity;
};

}  // namespace tessaron::views
