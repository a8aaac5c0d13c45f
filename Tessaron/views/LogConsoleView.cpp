#include "views/LogConsoleView.hpp"

#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QTextCursor>

#include "views/Theme.hpp"

namespace tessaron::views {

LogConsoleView::LogConsoleView(const QString& placeholder, QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setFrameShape(QFrame::NoFrame);
    setMaximumHeight(maximumHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setFont(theme::monospacedFont(theme::TextStyle::caption));
    setPlaceholderText(placeholder);
    setViewportMargins(0, 0, 0, 0);
    document()->setDocumentMargin(10);
    // The rounded black card is painted below; the viewport lets it through.
    setAttribute(Qt::WA_TranslucentBackground);
    viewport()->setAutoFillBackground(false);
    applyColors();
}

void LogConsoleView::applyColors() {
    QPalette colors = palette();
    colors.setColor(QPalette::Base, Qt::transparent);
    colors.setColor(QPalette::Text, theme::color(theme::NamedColor::green));
    colors.setColor(QPalette::PlaceholderText, theme::color(theme::NamedColor::gray));
    setPalette(colors);
}

bool LogConsoleView::isAtEnd() const { return verticalScrollBar()->value() >= verticalScrollBar()->maximum(); }

void LogConsoleView::setLogText(const QString& text) {
    if (text == logText_) return;
    QScrollBar* bar = verticalScrollBar();
    const bool followEnd = isAtEnd();
    const int position = bar->value();
    if (!logText_.isEmpty() && text.size() > logText_.size() && text.startsWith(logText_)) {
        QTextCursor end(document());
        end.movePosition(QTextCursor::End);
        end.insertText(text.mid(logText_.size()));
    } else {
        // A log cut back or begun anew: its text replaces what is shown.
        setPlainText(text);
    }
    logText_ = text;
    if (followEnd)
        bar->setValue(bar->maximum());
    else
        bar->setValue(std::min(position, bar->maximum()));
}

void LogConsoleView::paintEvent(QPaintEvent* event) {
    {
        QPainter painter(viewport());
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath card;
        card.addRoundedRect(QRectF(viewport()->rect()), 8, 8);
        painter.fillPath(card, QColor(0, 0, 0, int(0.85 * 255)));
    }
    QPlainTextEdit::paintEvent(event);
}

}  // namespace tessaron::views
