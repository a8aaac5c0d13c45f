#include "views/FormWidgets.hpp"

#include <QBoxLayout>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QResizeEvent>

namespace tessaron::views {

QLabel* textLabel(const QString& text, theme::TextStyle style, theme::NamedColor color, theme::Weight weight,
                  bool wrap) {
    auto* label = new QLabel(text);
    label->setFont(theme::font(style, weight));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, theme::color(color));
    label->setPalette(palette);
    label->setWordWrap(wrap);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QFrame* divider() {
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    QPalette palette = line->palette();
    palette.setColor(QPalette::WindowText, theme::color(theme::NamedColor::primary, 0.12));
    line->setPalette(palette);
    return line;
}

void clearLayout(QBoxLayout* layout) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QWidget* widget = item->widget()) delete widget;
        if (QLayout* inner = item->layout()) {
            if (auto* box = qobject_cast<QBoxLayout*>(inner)) clearLayout(box);
        }
        delete item;
    }
}

QPixmap symbolPixmap(Symbol symbol, int side, const QColor& color) {
    const qreal scale = 2.0;
    QPixmap pixmap(QSize(side, side) * scale);
    pixmap.setDevicePixelRatio(scale);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    drawSymbol(painter, symbol, QRectF(0, 0, side, side), color);
    return pixmap;
}

// ---- SymbolLabel ---------------------------------------------------------------

SymbolLabel::SymbolLabel(Symbol symbol, const QColor& symbolColor, const QString& text, const QFont& font,
                         const QColor& textColor, int spacing, QWidget* parent)
    : QWidget(parent), symbol_(new QLabel), text_(new QLabel(text)), fullText_(text) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(spacing);
    // The symbol follows the text's size, as a label's image does.
    const int side = QFontMetrics(font).height() - 2;
    symbol_->setPixmap(symbolPixmap(symbol, side, symbolColor));
    symbol_->setFixedSize(side, side);
    text_->setFont(font);
    text_->setTextFormat(Qt::PlainText);
    QPalette palette = text_->palette();
    palette.setColor(QPalette::WindowText, textColor);
    text_->setPalette(palette);
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
    : QWidget(parent), symbol_(new QLabel), text_(new QLabel(text)), symbolColor_(symbolColor) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(8, 8, 8, 8);
    row->setSpacing(6);
    const QFont font = theme::font(theme::TextStyle::caption);
    const int side = QFontMetrics(font).height();
    symbol_->setPixmap(symbolPixmap(symbol, side, symbolColor));
    symbol_->setFixedSize(side, side);
    text_->setFont(font);
    text_->setWordWrap(true);
    text_->setTextFormat(Qt::PlainText);
    QPalette palette = text_->palette();
    palette.setColor(QPalette::WindowText, textColor);
    text_->setPalette(palette);
    row->addWidget(symbol_, 0, verticalAlignment);
    row->addWidget(text_, 1, verticalAlignment);
}

void NoticeBox::setNotice(Symbol symbol, const QString& text) {
    symbol_->setPixmap(symbolPixmap(symbol, symbol_->width(), symbolColor_));
    text_->setText(text);
}

void NoticeBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath box;
    box.addRoundedRect(QRectF(rect()), 6, 6);
    painter.fillPath(box, theme::color(theme::NamedColor::orange, 0.08));
}

// ---- ActivitySpinner -----------------------------------------------------------

ActivitySpinner::ActivitySpinner(int side, QWidget* parent) : QWidget(parent), side_(side) {
    setFixedSize(side, side);
    timer_.setInterval(80);
    connect(&timer_, &QTimer::timeout, this, [this] {
        phase_ = (phase_ + 1) % 8;
        update();
    });
}

void ActivitySpinner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(width() / 2.0, height() / 2.0);
    const double outer = side_ / 2.0 - 1;
    for (int tick = 0; tick < 8; ++tick) {
        const double age = ((tick - phase_ + 8) % 8) / 8.0;
        painter.setPen(QPen(theme::color(theme::NamedColor::secondary, 1.0 - age * 0.8), std::max(1.5, side_ / 8.0),
                            Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(0, -outer * 0.5), QPointF(0, -outer));
        painter.rotate(45);
    }
}

void ActivitySpinner::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    timer_.start();
}

void ActivitySpinner::hideEvent(QHideEvent* event) {
    timer_.stop();
    QWidget::hideEvent(event);
}

}  // namespace tessaron::views
