#pragma once

#include <QTimer>
#include <QWidget>

namespace tessaron::viewer {

// An indeterminate progress indicator: an arc that turns while shown. Its
// object name is "busyIndicator", so tests and styles can find it.
class BusyIndicator : public QWidget {
    Q_OBJECT
public:
    BusyIndicator(int size, QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QTimer timer_;
    int angle_ = 0;
};

}  // namespace tessaron::viewer
