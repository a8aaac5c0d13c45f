#pragma once

#include <QWidget>

class QLabel;
class QSequentialAnimationGroup;

namespace tessaron::views {

// A large count of partition cells that pulses (grows and glows yellow for
// a moment) each time the count changes, with its caption below.
class CellCountBadge : public QWidget {
    Q_OBJECT
public:
    // The animated value of one pulse.
    struct Pulse {
        double scale = 1.0;
        double glow = 0.0;
    };

    explicit CellCountBadge(qint64 count = 0, QWidget* parent = nullptr);

    qint64 count() const { return count_; }
    // A different count starts a pulse; the same count does nothing.
    void setCount(qint64 count);
    Pulse pulse() const { return pulse_; }
    bool isPulsing() const;

private:
    class CountText;

    qint64 count_;
    Pulse pulse_;
    CountText* text_;
    QSequentialAnimationGroup* animation_;
};

}  // namespace tessaron::views
