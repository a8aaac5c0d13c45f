#include "viewer/SplatRendererView.hpp"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QSurfaceFormat>
#include <QWheelEvent>

namespace tessaron::viewer {

SplatRendererView::SplatRendererView(QWidget* parent)
    : QOpenGLWidget(parent), scene_(std::make_unique<SplatSceneRenderer>(this)) {
    // The renderer needs storage buffers, direct state access and clip
    // control: OpenGL 4.5 core.
    QSurfaceFormat surface = format();
    surface.setRenderableType(QSurfaceFormat::OpenGL);
    surface.setVersion(4, 5);
    surface.setProfile(QSurfaceFormat::CoreProfile);
    surface.setDepthBufferSize(24);
    surface.setSamples(0);
    setFormat(surface);
    setFocusPolicy(Qt::StrongFocus);
}

SplatRendererView::~SplatRendererView() {
    // What showed frames in the view's context goes while it exists; the
    // scene goes on the render thread.
    scene_->releaseGL();
    scene_.reset();
}

void SplatRendererView::setFileURL(const std::filesystem::path& file) {
    if (file == fileURL_) return;
    fileURL_ = file;
    scene_->load(file);
}

void SplatRendererView::setClearColor(const ClearColor& color) {
    const ClearColor& current = scene_->clearColor;
    if (color.red == current.red && color.green == current.green && color.blue == current.blue &&
        color.alpha == current.alpha)
        return;
    scene_->clearColor = color;
    scene_->requestFrame();
}

void SplatRendererView::setOrbitMode(bool orbitMode) {
    // The window applies its settings often; only a change is drawn.
    const auto mode = orbitMode ? SplatCameraController::Mode::orbit : SplatCameraController::Mode::freeFly;
    if (scene_->camera.mode == mode) return;
    scene_->camera.mode = mode;
    scene_->requestFrame();
}

void SplatRendererView::setOnStatsUpdate(SplatSceneRenderer::StatsCallback callback) {
    scene_->onStatsUpdate = std::move(callback);
}

void SplatRendererView::setOnLoadError(SplatSceneRenderer::LoadErrorCallback callback) {
    scene_->onLoadError = std::move(callback);
}

void SplatRendererView::initializeGL() { scene_->initializeGL(); }

void SplatRendererView::resizeGL(int width, int height) {
    const double scale = devicePixelRatioF();
    scene_->resizeGL(int(std::lround(width * scale)), int(std::lround(height * scale)));
}

void SplatRendererView::paintGL() { scene_->paintGL(); }

void SplatRendererView::showEvent(QShowEvent* event) {
    QOpenGLWidget::showEvent(event);
    // The viewer takes the keyboard as soon as it is in a window.
    if (window()) setFocus(Qt::OtherFocusReason);
    // Nothing was drawn while hidden.
    scene_->requestFrame();
}

std::optional<std::uint16_t> SplatRendererView::movementKeyCode(int qtKey) {
    switch (qtKey) {
        case Qt::Key_W: return SplatCameraController::keyW;
        case Qt::Key_S: return SplatCameraController::keyS;
        case Qt::Key_A: return SplatCameraController::keyA;
        case Qt::Key_D: return SplatCameraController::keyD;
        case Qt::Key_E: return SplatCameraController::keyE;
        case Qt::Key_Q: return SplatCameraController::keyQ;
        default: return std::nullopt;
    }
}

bool SplatRendererView::trackMovementKey(QKeyEvent* event, bool pressed) {
    const auto code = movementKeyCode(event->key());
    if (!code) return false;
    // Auto-repeat sends release-press pairs while a key is held.
    if (!event->isAutoRepeat()) {
        if (pressed)
            scene_->camera.keysHeld.insert(*code);
        else
            scene_->camera.keysHeld.erase(*code);
        // Held, the key flies the camera a frame at a time from here.
        scene_->requestFrame();
    }
    event->accept();
    return true;
}

void SplatRendererView::keyPressEvent(QKeyEvent* event) {
    if (!trackMovementKey(event, true)) QOpenGLWidget::keyPressEvent(event);
}

void SplatRendererView::keyReleaseEvent(QKeyEvent* event) {
    if (!trackMovementKey(event, false)) QOpenGLWidget::keyReleaseEvent(event);
}

void SplatRendererView::focusOutEvent(QFocusEvent* event) {
    // Keys released in another window never reach this one; without this
    // the camera would fly on by itself.
    scene_->camera.keysHeld.clear();
    QOpenGLWidget::focusOutEvent(event);
}

void SplatRendererView::mousePressEvent(QMouseEvent* event) {
    lastPointer_ = event->position().toPoint();
    setFocus(Qt::MouseFocusReason);
    event->accept();
}

void SplatRendererView::mouseMoveEvent(QMouseEvent* event) {
    const QPoint pointer = event->position().toPoint();
    const QPoint delta = pointer - lastPointer_;
    lastPointer_ = pointer;
    // Left or right drags turn the camera, middle drags pan the orbit.
    if (event->buttons() & (Qt::LeftButton | Qt::RightButton)) {
        scene_->camera.rotate(delta.x(), delta.y());
        scene_->requestFrame();
    } else if (event->buttons() & Qt::MiddleButton) {
        scene_->camera.pan(delta.x(), delta.y());
        scene_->requestFrame();
    }
    event->accept();
}

void SplatRendererView::wheelEvent(QWheelEvent* event) {
    scene_->camera.scroll(event->angleDelta().y());
    scene_->requestFrame();
    event->accept();
}

}  // namespace tessaron::viewer
