#include "views/PanelWidgets.hpp"

#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

#include <algorithm>

namespace tessaron::views {

using theme::NamedColor;
using theme::TextStyle;

namespace {

constexpr int spinnerSide = 12;
constexpr int badgeSymbolSide = 12;

}  // namespace

QLabel* styledLabel(const QString& text, TextStyle style, NamedColor color, theme::Weight weight, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(theme::font(style, weight));
    setTextColor(label, theme::color(color));
    label->setWordWrap(true);
    return label;
}

void setTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    palette.setColor(QPalette::ButtonText, color);
    widget->setPalette(palette);
}

// ---- SymbolView --------------------------------------------------------------

SymbolView::SymbolView(Symbol symbol, int side, const QColor& color, QWidget* parent)
    : QWidget(parent), symbol_(symbol), color_(color) {
    setFixedSize(side, side);
}

void SymbolView::setSymbol(Symbol symbol, const QColor& color) {
    symbol_ = symbol;
    color_ = color;
    update();
}

void SymbolView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    drawSymbol(painter, symbol_, QRectF(rect()), color_);
}

// ---- ActivitySpinner ---------------------------------------------------------

ActivitySpinner::ActivitySpinner(QWidget* parent) : QWidget(parent) {
    setFixedSize(spinnerSide, spinnerSide);
    timer_.setInterval(80);
    connect(&timer_, &QTimer::timeout, this, [this] {
        phase_ = (phase_ + 30) % 360;
        update();
    });
}

void ActivitySpinner::showEvent(QShowEvent*) { timer_.start(); }
void ActivitySpinner::hideEvent(QHideEvent*) { timer_.stop(); }

void ActivitySpinner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double pen = std::max(1.5, width() / 7.0);
    const QRectF circle = QRectF(rect()).adjusted(pen, pen, -pen, -pen);
    painter.setPen(QPen(theme::color(NamedColor::secondary, 0.35), pen));
    painter.drawEllipse(circle);
    painter.setPen(QPen(theme::color(NamedColor::primary, 0.75), pen, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(circle, -phase_ * 16, 100 * 16);
}

// ---- StatusBadge -------------------------------------------------------------

StatusBadge::StatusBadge(const QString& text, const QColor& color, QWidget* parent) : QWidget(parent) {
    QHBoxLayout* row = makeRow();
    spinner_ = new ActivitySpinner(this);
    row->addWidget(spinner_, 0, Qt::AlignVCenter);
    text_ = new QLabel(text, this);
    text_->setFont(theme::font(TextStyle::caption));
    setTextColor(text_, color);
    row->addWidget(text_, 0, Qt::AlignVCenter);
}

StatusBadge::StatusBadge(Symbol symbol, const QColor& color, const QString& text, QWidget* parent) : QWidget(parent) {
    QHBoxLayout* row = makeRow();
    symbol_ = new SymbolView(symbol, badgeSymbolSide, color, this);
    row->addWidget(symbol_, 0, Qt::AlignVCenter);
    text_ = new QLabel(text, this);
    text_->setFont(theme::font(TextStyle::caption));
    setTextColor(text_, color);
    row->addWidget(text_, 0, Qt::AlignVCenter);
}

QHBoxLayout* StatusBadge::makeRow() {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(4);
    return row;
}

StatusBadge* runningBadge(const QString& text, QWidget* parent) {
    return new StatusBadge(text, theme::color(NamedColor::blue), parent);
}

StatusBadge* completeBadge(QWidget* parent) {
    return statusBadge(Symbol::checkmarkCircleFill, NamedColor::green, QStringLiteral("Complete"), parent);
}

StatusBadge* statusBadge(Symbol symbol, NamedColor color, const QString& text, QWidget* parent) {
    return new StatusBadge(symbol, theme::color(color), text, parent);
}

// ---- PanelHeader -------------------------------------------------------------

PanelHeader::PanelHeader(const QString& title, QWidget* parent) : QWidget(parent) {
    row_ = new QHBoxLayout(this);
    row_->setContentsMargins(0, 0, 0, 0);
    title_ = new QLabel(title, this);
    title_->setTextFormat(Qt::PlainText);
    title_->setFont(theme::font(TextStyle::title2, theme::Weight::bold));
    setTextColor(title_, theme::color(NamedColor::primary));
    row_->addWidget(title_, 0, Qt::AlignVCenter);
    row_->addStretch(1);
}

void PanelHeader::setTrailing(QWidget* trailing) {
    if (trailing_) {
        trailing_->hide();
        trailing_->deleteLater();
    }
    trailing_ = trailing;
    if (!trailing) return;
    trailing->setParent(this);
    row_->addWidget(trailing, 0, Qt::AlignVCenter);
    trailing->show();
}

// ---- Frame -------------------------------------------------------------------

QVBoxLayout* panelColumn(QWidget* panel) {
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(16);
    return column;
}

QWidget* stepPanel(QWidget* content, QWidget* parent) {
    auto* frame = new QWidget(parent);
    auto* column = new QVBoxLayout(frame);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(16);
    column->addWidget(content);
    column->addStretch(1);
    return frame;
}

}  // namespace tessaron::views
