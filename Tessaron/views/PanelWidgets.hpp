#pragma once

#include <QLabel>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include "views/Icons.hpp"
#include "views/Theme.hpp"

class QHBoxLayout;
class QVBoxLayout;

namespace tessaron::views {

// The small views every step panel shares: the panel's frame, its header
// row and the status badges of the header.

// A symbol of the window's own set, drawn at a fixed size in one colour.
class SymbolView : public QWidget {
    Q_OBJECT
public:
    SymbolView(Symbol symbol, int side, const QColor& color, QWidget* parent = nullptr);
    Symbol symbol() const { return symbol_; }
    QColor color() const { return color_; }
    void setSymbol(Symbol symbol, const QColor& color);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Symbol symbol_;
    QColor color_;
};

// The small indeterminate spinner of a running step; it turns while shown.
// The 360° views show a larger one.
class ActivitySpinner : public QWidget {
    Q_OBJECT
public:
    explicit ActivitySpinner(QWidget* parent = nullptr);
    ActivitySpinner(int side, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QTimer timer_;
    int phase_ = 0;
};

// A badge: a symbol (or the spinner) and a caption in one colour. Its text
// is what tests and the header read.
class StatusBadge : public QWidget {
    Q_OBJECT
public:
    // With a spinner in place of the symbol.
    StatusBadge(const QString& text, const QColor& color, QWidget* parent = nullptr);
    StatusBadge(Symbol symbol, const QColor& color, const QString& text, QWidget* parent = nullptr);

    QString text() const { return text_->text(); }
    bool isRunning() const { return spinner_ != nullptr; }
    // The symbol, none for a running badge.
    SymbolView* symbolView() const { return symbol_; }

private:
    QHBoxLayout* makeRow();
    QLabel* text_ = nullptr;
    ActivitySpinner* spinner_ = nullptr;
    SymbolView* symbol_ = nullptr;
};

// A small spinner and the text in blue: the step is running.
StatusBadge* runningBadge(const QString& text, QWidget* parent = nullptr);
// A green checkmark and "Complete": the run is past the step.
StatusBadge* completeBadge(QWidget* parent = nullptr);
// An orange cross and "Cancelled": the run was cancelled in this step.
StatusBadge* cancelledBadge(QWidget* parent = nullptr);
// The symbol and the text in the given colour.
StatusBadge* statusBadge(Symbol symbol, theme::NamedColor color, const QString& text, QWidget* parent = nullptr);

// The header row of a step panel: the title in bold, then, at the trailing
// edge, the status view of the moment (or nothing).
class PanelHeader : public QWidget {
    Q_OBJECT
public:
    explicit PanelHeader(const QString& title, QWidget* parent = nullptr);

    QString title() const { return title_->text(); }
    // Replaces the trailing view, which the header then owns; null clears it.
    void setTrailing(QWidget* trailing);
    QWidget* trailing() const { return trailing_; }
    // What the header leaves free at its trailing edge for the panel's hide button.
    static constexpr int trailingClearance = 16;

private:
    QLabel* title_;
    QHBoxLayout* row_;
    QPointer<QWidget> trailing_;
};

// The layout of a panel's own items: a column, leading-aligned, 16 apart,
// with no margins of its own (the frame gives them).
QVBoxLayout* panelColumn(QWidget* panel);

// The frame the step menu puts a panel in: 24 on every edge, as wide as the
// menu, with the panel at the top and free space below it.
QWidget* stepPanel(QWidget* content, QWidget* parent = nullptr);

// A label in a text style and a named colour, wrapping its words.
QLabel* styledLabel(const QString& text, theme::TextStyle style, theme::NamedColor color,
                    theme::Weight weight = theme::Weight::regular, QWidget* parent = nullptr);
// Sets the colour a label's (or button's) text is drawn in.
void setTextColor(QWidget* widget, const QColor& color);

}  // namespace tessaron::views
