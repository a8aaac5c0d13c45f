#include "views/FormWidgets.hpp"

#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QResizeEvent>

#include <algorithm>

namespace tessaron::views {

QLabel* oneLine(QLabel* label) {
    label->setWordWrap(false);
    return label;
}

QFrame* divider() {
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    setTextColor(line, theme::color(theme::NamedColor::primary, 0.12));
    return line;
}

// ---- SymbolLabel ---------------------------------------------------------------

SymbolLabel::SymbolLabel(Symbol symbol, const QColor& symbolColor, const QString& text, const QFont& font,
                         const QColor& textColor, int spacing, QWidget* parent)
    : QWidget(parent),
      symbol_(new SymbolView(symbol, QFontMetrics(font).height() - 2, symbolColor)),
      text_(new QLabel(text)),
      fullText_(text) {
    // The symbol follows the text's size, as a label's image does.
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(spacing);
    text_->setFont(font);
    text_->setTextFormat(Qt::PlainText);
    setTextColor(text_, textColor);
    row->addWidget(symbol_, 0, Qt::AlignVCenter);
    row->addWidget(text_, 1, Qt::AlignVCenter);
}

void SymbolLabel::setElided(bool elided) {
    elided_ = elided;
    fullText_ = text_->text();
    text_->setSizePolicy(elided ? QSizePolicy::Ignored : QSizePolicy::Preferred, QSizePolicy::Preferred);
    applyElision();
}

void SymbolLabel::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    applyElision();
}

void SymbolLabel::applyElision() {
    if (!elided_) return;
    text_->setText(QFontMetrics(text_->font()).elidedText(fullText_, Qt::ElideRight, std::max(0, text_->width())));
    text_->setToolTip(fullText_);
}

// ---- NoticeBox -----------------------------------------------------------------

NoticeBox::NoticeBox(Symbol symbol, const QColor& symbolColor, const QString& text, const QColor& textColor,
                     Qt::Alignment verticalAlignment, QWidget* parent)
    : QWidget(parent),
      symbol_(new SymbolView(symbol, QFontMetrics(theme::font(theme::TextStyle::caption)).height(), symbolColor)),
      text_(styledLabel(text, theme::TextStyle::caption, theme::NamedColor::primary)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(8, 8, 8, 8);
    row->setSpacing(6);
    setTextColor(text_, textColor);
    row->addWidget(symbol_, 0, verticalAlignment);
    row->addWidget(text_, 1, verticalAlignment);
}

void NoticeBox::setNotice(Symbol symbol, const QString& text) {
    symbol_->setSymbol(symbol, symbol_->color());
    text_->setText(text);
}

void NoticeBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath box;
    box.addRoundedRect(QRectF(rect()), 6, 6);
    painter.fillPath(box, theme::color(theme::NamedColor::orange, 0.08));
}

}  // namespace tessaron::views
