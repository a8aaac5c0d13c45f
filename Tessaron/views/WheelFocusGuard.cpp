#include "views/WheelFocusGuard.hpp"

#include <QEvent>
#include <QWidget>

namespace tessaron::views {

WheelFocusGuard::WheelFocusGuard(QWidget* control) : QObject(control) {}

void WheelFocusGuard::install(QWidget* control) {
    // The wheel itself must not hand the control the focus.
    control->setFocusPolicy(Qt::StrongFocus);
    control->installEventFilter(new WheelFocusGuard(control));
}

bool WheelFocusGuard::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Wheel && !static_cast<QWidget*>(watched)->hasFocus()) {
        // Ignored and held back: Qt passes the wheel on to the parents,
        // up to the scroll area.
        event->ignore();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace tessaron::views
