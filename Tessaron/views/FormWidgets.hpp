#pragma once

#include <QFrame>
#include <QLabel>
#include <QWidget>

#include "views/Icons.hpp"
#include "views/PanelWidgets.hpp"
#include "views/Theme.hpp"

namespace tessaron::views {

// The small building blocks of the input form beyond the step panels'
// shared ones: a symbol with a text, a notice box and a divider.

// `label` kept on one line.
QLabel* oneLine(QLabel* label);
// A thin horizontal line.
QFrame* divider();

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
    QLabel* textView() const { return text_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void applyElision();
    SymbolView* symbol_;
    QLabel* text_;
    QString fullText_;
    bool elided_ = false;
};

// A symbol and a text on a rounded, faintly orange box.
class NoticeBox : public QWidget {
    Q_OBJECT
public:
    NoticeBox(Symbol symbol, const QColor& symbolColor, const QString& text, const QColor& textColor,
              Qt::Alignment verticalAlignment, QWidget* parent = nullptr);

    QString text() const { return text_->text(); }
    Symbol symbol() const { return symbol_->symbol(); }
    void setNotice(Symbol symbol, const QString& text);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    SymbolView* symbol_;
    QLabel* text_;
};

}  // namespace tessaron::views
