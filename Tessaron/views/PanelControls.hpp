#pragma once

#include <QAbstractButton>
#include <QFrame>
#include <QLabel>
#include <QWidget>

#include "views/Theme.hpp"

namespace tessaron::views {

// The controls the step panels draw themselves: the thin progress bar, the
// on/off switch, the rounded card, the two button styles, the divider and
// the monospaced caption. Main thread only.

// A thin linear progress bar; a total below 1 counts as 1, a value beyond
// the total draws full.
class LinearProgressBar : public QWidget {
    Q_OBJECT
public:
    explicit LinearProgressBar(QWidget* parent = nullptr);
    void setProgress(double value, double total);
    void setTint(const QColor& tint);
    double value() const { return value_; }
    double total() const { return total_; }
    QColor tint() const { return tint_; }
    QSize sizeHint() const override { return {120, 6}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double value_ = 0;
    double total_ = 1;
    QColor tint_;
};

// An on/off switch.
class SwitchButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit SwitchButton(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {32, 18}; }

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A rounded card painted with a fill and, when valid, a one-point stroke.
class RoundedCard : public QFrame {
    Q_OBJECT
public:
    RoundedCard(double radius, const QColor& fill, const QColor& stroke, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double radius_;
    QColor fill_;
    QColor stroke_;
};

// Buttons in the two styles the panels use: bordered, and bordered
// prominent (filled with `tint`, white text).
void styleBorderedButton(QAbstractButton& button);
void styleProminentButton(QAbstractButton& button, const QColor& tint, bool large = false);
// The form's divider with `padding` above and below.
QWidget* paddedDivider(QWidget* parent, int padding = 4);
// A text in the monospaced face of a style, on one line.
QLabel* monospacedLabel(const QString& text, theme::TextStyle style, theme::NamedColor color,
                        theme::Weight weight = theme::Weight::regular, QWidget* parent = nullptr);

}  // namespace tessaron::views
