#pragma once

#include <QOpenGLWidget>
#include <QPoint>
#include <filesystem>
#include <memory>
#include <optional>

#include "viewer/SplatSceneRenderer.hpp"

namespace tessaron::viewer {

// The splat viewer as the window embeds it: an OpenGL 4.5 widget that
// shows one splat file (.ply, .splat, .spz), takes the keyboard when shown,
// and turns W/A/S/D/E/Q, drags and the wheel into camera moves. Setting a
// new file starts a load; every other setting only restyles the view. It
// draws only when the picture changes (see SplatSceneRenderer).
//
// Threads: GUI thread only; loads run on workers and frames are drawn on a
// render thread, both inside the scene renderer.
class SplatRendererView : public QOpenGLWidget {
    Q_OBJECT

public:
    using ClearColor = SplatSceneRenderer::ClearColor;

    explicit SplatRendererView(QWidget* parent = nullptr);
    ~SplatRendererView() override;

    // The same file again does not reload; a different one does.
    void setFileURL(const std::filesystem::path& file);
    const std::filesystem::path& fileURL() const noexcept { return fileURL_; }
    // Reaches the drawn frame with the next load.
    void setClearColor(const ClearColor& color);
    // True: orbit camera; false: free-fly camera.
    void setOrbitMode(bool orbitMode);
    // Called after every frame handed to the renderer; at rest there are
    // none, so the last figures stand.
    void setOnStatsUpdate(SplatSceneRenderer::StatsCallback callback);
    // Called when the newest load fails, or its scene cannot be drawn.
    void setOnLoadError(SplatSceneRenderer::LoadErrorCallback callback);

    SplatSceneRenderer& sceneRenderer() noexcept { return *scene_; }

protected:
    void initializeGL() override;
    void resizeGL(int width, int height) override;
    void paintGL() override;

    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    // The camera's code for a movement key, or none for other keys.
    static std::optional<std::uint16_t> movementKeyCode(int qtKey);
    // Adds a pressed movement key to the camera's held keys, or removes a
    // released one; false for other keys, which the widget passes on.
    bool trackMovementKey(QKeyEvent* event, bool pressed);

    std::unique_ptr<SplatSceneRenderer> scene_;
    std::filesystem::path fileURL_;
    QPoint lastPointer_;
};

}  // namespace tessaron::viewer
