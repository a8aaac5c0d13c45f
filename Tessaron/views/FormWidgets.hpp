#pragma once

#include <QFrame>
#include <QLabel>
#include <QTimer>
#include <QWidget>

#include "views/Icons.hpp"
#include "views/Theme.hpp"

class QBoxLayout;

namespace tessaron::views {

// The small building blocks of the input form: styled text, a symbol with a
// text, a notice box, a divider and a small spinner.

// A label in one of the text styles and named colours; word-wrapped unless
// `wrap` is false.
QLabel* textLabel(const QString& text, theme::TextStyle style, theme::NamedColor color = theme::NamedColor::primary,
                  theme::Weight weight = theme::Weight::regular, bool wrap = true);
// A thin horizontal line.
QFrame* divider();
// Removes every item of `layout`, deleting its widgets.
void clearLayout(QBoxLayout* layout);

// A symbol followed by a text, as a label with an image shows them.
class SymbolLabel : public QWidget {
    Q_OBJECT
public:
    SymbolLabel(Symbol symbol, const QColor& symbolColor, const QString& text, const QFont& font,
                const QColor& textColor, int spacing = 4, QWidget* parent = nullptr);

    QString text() const { return text_->text(); }
    void setText(const QString& text) { text_->setText(text); }
    // One line, cut at the end when it does not fit.
    void setElided(bool elided);
    QLabel* textLabel() const { return text_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void applyElision();
    QLabel* symbol_;
    QLabel* text_;
    QString fullText_;
    bool elided_ = false;
};

// A symbol and a text on a rounded, faintly tinted box.
class NoticeBox : public QWidget {
    Q_OBJECT
public:
    NoticeBox(Symbol symbol, const QColor& symbolColor, const QString& text, const QColor& textColor,
              Qt::Alignment verticalAlignment, QWidget* parent = nullptr);

    QString text() const { return text_->text(); }
    void setNotice(Symbol symbol, const QString& text);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* symbol_;
    QLabel* text_;
    QColor symbolColor_;
};

// A small indeterminate progress indicator: a ring of fading ticks.
class ActivitySpinner : public QWidget {
    Q_OBJECT
public:
    explicit ActivitySpinner(int side = 14, QWidget* parent = nullptr);
    QSize sizeHint() const override { return {side_, side_}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    int side_;
    int phase_ = 0;
    QTimer timer_;
};

// The pixmap of a symbol at `side` pixels, for a QLabel.
QPixmap symbolPixmap(Symbol symbol, int side, const QColor& color);

}  // namespace tessaron::views
