#pragma once

#include <QLabel>
#include <QString>

#include "views/Motion.hpp"

class QPainter;
class QVariantAnimation;

namespace tessaron::views {

// A number whose digits roll to a new value: each digit that changes slides
// out and the new one slides in (upwards when the value grows, downwards when
// it shrinks) while both fade. The label's text is the new value at once;
// only the drawing rolls, and a value that comes mid-roll rolls on from the
// one last set.
//
// Threads: the main thread only.
class RollingNumberLabel : public QLabel {
    Q_OBJECT
public:
    explicit RollingNumberLabel(Motion::Spring spring, QWidget* parent = nullptr);

    // Shows `text` (digits, possibly with a sign or a unit); rolls from the
    // previous text when motion is on. `value` orders the two: a larger one
    // rolls up.
    void setNumber(const QString& text, double value);
    bool isRolling() const;
    // Ends a roll at once: the new text alone.
    void settle();
    QVariantAnimation* roll() const { return roll_; }
    // How far the roll has come, 0 … 1 (1: the new text alone).
    double rollProgress() const { return progress_; }

    // Draws `from` rolling into `to` within `rect` at `progress`: the two
    // texts share their trailing edge, and only the characters that differ
    // move. Used by the label and by the cell-count badge.
    static void paintRoll(QPainter& painter, const QRectF& rect, Qt::Alignment alignment, const QString& from,
                          const QString& to, double progress, bool upwards);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Motion::Spring spring_;
    QString from_;
    double value_ = 0;
    bool upwards_ = true;
    double progress_ = 1;
    QVariantAnimation* roll_;
};

}  // namespace tessaron::views
