#pragma once

#include <QObject>

class QWidget;

namespace tessaron::views {

// Makes a control in a scrolling form (a slider, a spin or combo box) take
// the wheel only while it has the keyboard focus; otherwise the wheel
// scrolls the form under the pointer and never changes a setting in
// passing. A click or Tab gives the control the focus, the wheel never does.
//
// Threads: the main thread only.
class WheelFocusGuard : public QObject {
    Q_OBJECT
public:
    // Guards `control` for its life.
    static void install(QWidget* control);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit WheelFocusGuard(QWidget* control);
};

}  // namespace tessaron::views
