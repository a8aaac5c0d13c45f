#pragma once

#include <QAbstractButton>
#include <QFrame>
#include <QLabel>
#include <QTimer>
#include <QWidget>

#include "views/Icons.hpp"
#include "views/Theme.hpp"

class QHBoxLayout;

namespace tessaron::views {

// The small pieces the step panels are made of: header, status badges,
// metric pills, bars, the spinner and the cards' frames.
//
// Threads: the main thread only.

// A text in one of the window's styles and colours.
QLabel* styledLabel(const QString& text, theme::TextStyle style, theme::NamedColor color, QWidget* parent,
                    theme::Weight weight = theme::Weight::regular);
QLabel* monospacedLabel(const QString& text, theme::TextStyle style, theme::NamedColor color, QWidget* parent,
                        theme::Weight weight = theme::Weight::regular);
void setLabelColor(QLabel& label, const QColor& color);
// A horizontal rule with `padding` above and below.
QWidget* divider(QWidget* parent, int padding = 4);

// An indeterminate spinner: an arc that turns while it is shown.
class ActivitySpinner : public QWidget {
    Q_OBJECT
public:
    explicit ActivitySpinner(int size = 12, QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QTimer timer_;
    int angle_ = 0;
};

// One symbol in one colour.
class SymbolView : public QWidget {
    Q_OBJECT
public:
    SymbolView(Symbol symbol, const QColor& color, int size, QWidget* parent = nullptr);
    void setSymbol(Symbol symbol, const QColor& color);
    Symbol symbol() const { return symbol_; }
    QColor color() const { return color_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Symbol symbol_;
    QColor color_;
};

// A header's status: nothing, a spinner with a blue text, "Complete" in
// green, or a symbol with a text in one colour.
class StatusBadge : public QWidget {
    Q_OBJECT
public:
    explicit StatusBadge(QWidget* parent = nullptr);

    void clear();
    void showRunning(const QString& text);
    void showComplete();
    void showStatus(Symbol symbol, const QColor& color, const QString& text);

    bool isShown() const { return shown_; }
    QString text() const { return text_->text(); }
    bool isRunning() const { return !spinner_->isHidden(); }
    const SymbolView& symbol() const { return *symbol_; }

private:
    ActivitySpinner* spinner_;
    SymbolView* symbol_;
    QLabel* text_;
    bool shown_ = false;
};

// The title of a panel in bold, and its status at the trailing edge.
class PanelHeader : public QWidget {
    Q_OBJECT
public:
    explicit PanelHeader(const QString& title, QWidget* parent = nullptr);
    QString title() const { return title_->text(); }
    StatusBadge& status() const { return *status_; }

private:
    QLabel* title_;
    StatusBadge* status_;
};

// A label and its value in a small rounded pill.
class MetricPill : public QWidget {
    Q_OBJECT
public:
    MetricPill(const QString& label, const QString& value, QWidget* parent = nullptr);
    void setValue(const QString& value);
    QString label() const { return label_->text(); }
    QString value() const { return value_->text(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* label_;
    QLabel* value_;
};

// The large count of partition cells with its caption.
class CellCountBadge : public QWidget {
    Q_OBJECT
public:
    explicit CellCountBadge(QWidget* parent = nullptr);
    void setCount(qint64 count);
    qint64 count() const { return count_; }

private:
    QLabel* countLabel_;
    qint64 count_ = 0;
};

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

// A rounded card painted with a fill and, when given, a stroke.
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

}  // namespace tessaron::views
