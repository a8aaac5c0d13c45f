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
        popup->hide();
        pressed_ = target;
        // Qt drops the rest of a click whose press went to a popup: the
        // dialog's window hands its moves and release on from here.
        watchedWindow_ = window->windowHandle();
        watchedWindow_->installEventFilter(this);
        pass(*mouse, *target);
        return true;
    }
    if (watched != watchedWindow_ || type == QEvent::MouseButtonPress) return false;
    QPointer<QWidget> target = pressed_;
    if (type == QEvent::MouseButtonRelease && !mouse->buttons()) {
        watchedWindow_->removeEventFilter(this);
        watchedWindow_.clear();
        pressed_.clear();
    }
    if (!target) return false;
    pass(*mouse, *target);
    return true;
}

void CompleterClickThrough::pass(const QMouseEvent& mouse, QWidget& target) {
    const QPointF global = mouse.globalPosition();
    QMouseEvent passed(mouse.type(), target.mapFromGlobal(global), target.window()->mapFromGlobal(global), global,
                       mouse.button(), mouse.buttons(), mouse.modifiers(), mouse.pointingDevice());
    passed.setTimestamp(mouse.timestamp());
    QCoreApplication::sendEvent(&target, &passed);
}

}  // namespace tessaron::viewer
