#pragma once

#include <QWidget>

class QLabel;
class QParallelAnimationGroup;
class QVariantAnimation;

namespace tessaron::views {

// A large count of partition cells whose digits roll to each new count and
// which pulses (grows and glows yellow for a moment) as it changes, with its
// caption below. Without motion the count changes at once and nothing pulses.
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
    // The pulse's two tracks and the digits' roll, for tests that step them.
    QParallelAnimationGroup* pulseAnimation() const { return animation_; }
    QVariantAnimation* rollAnimation() const { return roll_; }

private:
    class CountText;

    qint64 count_;
    Pulse pulse_;
    CountText* text_;
    QParallelAnimationGroup* animation_;
    QVariantAnimation* roll_;
    QString rolledFrom_;
    bool rollsUp_ = true;
};

}  // namespace tessaron::views
