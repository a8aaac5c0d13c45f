#include "viewer/CompleterClickThrough.hpp"

#include <QAbstractItemView>
#include <QCompleter>
#include <QCoreApplication>
#include <QMouseEvent>
#include <QWidget>
#include <QWindow>

namespace tessaron::viewer {

CompleterClickThrough::CompleterClickThrough(QWidget& dialog) : QObject(&dialog), dialog_(dialog) {}

void CompleterClickThrough::install(QWidget& dialog) {
    auto* filter = new CompleterClickThrough(dialog);
    for (QCompleter* completer : dialog.findChildren<QCompleter*>())
        // Asking for the popup makes the one the completer would show; a
        // filter installed after the completer's own sees the events first.
        if (QAbstractItemView* popup = completer->popup()) popup->installEventFilter(filter);
}

bool CompleterClickThrough::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseButtonRelease && type != QEvent::MouseMove)
        return false;
    auto* mouse = static_cast<QMouseEvent*>(event);
    const QPointF global = mouse->globalPosition();

    if (auto* popup = qobject_cast<QAbstractItemView*>(watched); popup && type == QEvent::MouseButtonPress) {
        if (!popup->isVisible() || popup->rect().contains(popup->mapFromGlobal(global).toPoint())) return false;
        QWidget* window = dialog_.window();
        QWidget* target = window->childAt(window->mapFromGlobal(global).toPoint());
        // Outside the dialog the popup just closes, as Qt has it.
        if (!target || !window->windowHandle()) return false;
        // Qt drops the rest of a click whose press went to a popup: the rest
        // comes to the dialog's window, or to the popup's own while the
        // window system still lets it hold the pointer, and is handed on
        // from there.
        stopWatching();
        for (QWindow* handle : {window->windowHandle(), popup->windowHandle()})
            if (handle) {
                handle->installEventFilter(this);
                watchedWindows_.append(handle);
            }
        popup->hide();
        pressed_ = target;
        pass(*mouse, *target);
        return true;
    }
    auto* handle = qobject_cast<QWindow*>(watched);
    if (!handle || !watchedWindows_.contains(handle) || type == QEvent::MouseButtonPress) return false;
    QPointer<QWidget> target = pressed_;
    if (type == QEvent::MouseButtonRelease && !mouse->buttons()) stopWatching();
    if (!target) return false;
    pass(*mouse, *target);
    return true;
}

void CompleterClickThrough::stopWatching() {
    for (const QPointer<QWindow>& handle : std::as_const(watchedWindows_))
        if (handle) handle->removeEventFilter(this);
    watchedWindows_.clear();
    pressed_.clear();
}

void CompleterClickThrough::pass(const QMouseEvent& mouse, QWidget& target) {
    const QPointF global = mouse.globalPosition();
    QMouseEvent passed(mouse.type(), target.mapFromGlobal(global), target.window()->mapFromGlobal(global), global,
                       mouse.button(), mouse.buttons(), mouse.modifiers(), mouse.pointingDevice());
    passed.setTimestamp(mouse.timestamp());
    QCoreApplication::sendEvent(&target, &passed);
}

}  // namespace tessaron::viewer
