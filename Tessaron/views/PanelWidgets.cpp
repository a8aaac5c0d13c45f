#include "views/PanelWidgets.hpp"

#include <QApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include <algorithm>

namespace tessaron::views {

using theme::NamedColor;
using theme::TextStyle;

QLabel* styledLabel(const QString& text, TextStyle style, NamedColor color, QWidget* parent, theme::Weight weight) {
    auto* label = new QLabel(text, parent);
    label->setFont(theme::font(style, weight));
    setLabelColor(*label, theme::color(color));
    return label;
}

QLabel* monospacedLabel(const QString& text, TextStyle style, NamedColor color, QWidget* parent, theme::Weight weight) {
    QLabel* label = styledLabel(text, style, color, parent);
    label->setFont(theme::monospacedFont(style, weight));
    return label;
}

void setLabelColor(QLabel& label, const QColor& color) {
    QPalette palette = label.palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    label.setPalette(palette);
}

QWidget* divider(QWidget* parent, int padding) {
    auto* holder = new QWidget(parent);
    auto* layout = new QVBoxLayout(holder);
    layout->setContentsMargins(0, padding, 0, padding);
    auto* line = new QFrame(holder);
    line->setFixedHeight(1);
    line->setAutoFillBackground(true);
    QPalette palette = line->palette();
    palette.setColor(QPalette::Window, theme::color(NamedColor::primary, 0.12));
    line->setPalette(palette);
    layout->addWidget(line);
    return holder;
}

// ---- ActivitySpinner ---------------------------------------------------------

ActivitySpinner::ActivitySpinner(int size, QWidget* parent) : QWidget(parent) {
    setFixedSize(size, size);
    timer_.setInterval(80);
    connect(&timer_, &QTimer::timeout, this, [this] {
        angle_ = (angle_ + 30) % 360;
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
    painter.drawArc(circle, -angle_ * 16, 100 * 16);
}

// ---- SymbolView --------------------------------------------------------------

SymbolView::SymbolView(Symbol symbol, const QColor& color, int size, QWidget* parent)
    : QWidget(parent), symbol_(symbol), color_(color) {
    setFixedSize(size, size);
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

// ---- StatusBadge -------------------------------------------------------------

StatusBadge::StatusBadge(QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(4);
    spinner_ = new ActivitySpinner(12, this);
    symbol_ = new SymbolView(Symbol::checkmarkCircleFill, theme::color(NamedColor::green), 12, this);
    text_ = styledLabel({}, TextStyle::caption, NamedColor::blue, this);
    row->addWidget(spinner_, 0, Qt::AlignVCenter);
    row->addWidget(symbol_, 0, Qt::AlignVCenter);
    row->addWidget(text_, 0, Qt::AlignVCenter);
    clear();
}

void StatusBadge::clear() {
    shown_ = false;
    text_->clear();
    hide();
}

void StatusBadge::showRunning(const QString& text) {
    shown_ = true;
    spinner_->show();
    symbol_->hide();
    text_->setText(text);
    setLabelColor(*text_, theme::color(NamedColor::blue));
    show();
}

void StatusBadge::showComplete() {
    showStatus(Symbol::checkmarkCircleFill, theme::color(NamedColor::green), QStringLiteral("Complete"));
}

void StatusBadge::showStatus(Symbol symbol, const QColor& color, const QString& text) {
    shown_ = true;
    spinner_->hide();
    symbol_->setSymbol(symbol, color);
    symbol_->show();
    text_->setText(text);
    setLabelColor(*text_, color);
    show();
}

// ---- PanelHeader -------------------------------------------------------------

PanelHeader::PanelHeader(const QString& title, QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    title_ = styledLabel(title, TextStyle::title2, NamedColor::primary, this, theme::Weight::bold);
    status_ = new StatusBadge(this);
    row->addWidget(title_, 0, Qt::AlignVCenter);
    row->addStretch(1);
    row->addWidget(status_, 0, Qt::AlignVCenter);
}

// ---- MetricPill --------------------------------------------------------------

MetricPill::MetricPill(const QString& label, const QString& value, QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 6, 12, 6);
    row->setSpacing(6);
    label_ = styledLabel(label, TextStyle::caption, NamedColor::secondary, this);
    value_ = styledLabel(value, TextStyle::callout, NamedColor::primary, this, theme::Weight::bold);
    row->addWidget(label_, 0, Qt::AlignVCenter);
    row->addWidget(value_, 0, Qt::AlignVCenter);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void MetricPill::setValue(const QString& value) { value_->setText(value); }

void MetricPill::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), 6, 6);
    painter.fillPath(path, QApplication::palette().color(QPalette::Button));
}

// ---- CellCountBadge ----------------------------------------------------------

CellCountBadge::CellCountBadge(QWidget* parent) : QWidget(parent) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    countLabel_ = styledLabel(QStringLiteral("0"), TextStyle::body, NamedColor::primary, this, theme::Weight::bold);
    countLabel_->setFont(theme::systemFont(34, theme::Weight::bold));
    column->addWidget(countLabel_);
    column->addWidget(styledLabel(QStringLiteral("cells so far — watch them split in the background"),
                                  TextStyle::caption2, NamedColor::secondary, this));
}

void CellCountBadge::setCount(qint64 count) {
    count_ = count;
    countLabel_->setText(QString::number(count));
}

// ---- LinearProgressBar -------------------------------------------------------

LinearProgressBar::LinearProgressBar(QWidget* parent)
    : QWidget(parent), tint_(theme::color(NamedColor::blue)) {
    setFixedHeight(6);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void LinearProgressBar::setProgress(double value, double total) {
    value_ = value;
    total_ = total;
    update();
}

void LinearProgressBar::setTint(const QColor& tint) {
    tint_ = tint;
    update();
}

void LinearProgressBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track = QRectF(rect()).adjusted(0, 1, 0, -1);
    const double radius = track.height() / 2;
    QPainterPath trackPath;
    trackPath.addRoundedRect(track, radius, radius);
    painter.fillPath(trackPath, theme::color(NamedColor::primary, 0.1));
    const double fraction = std::clamp(value_ / std::max(total_, 1.0), 0.0, 1.0);
    if (!(fraction > 0)) return;
    QRectF filled = track;
    filled.setWidth(track.width() * fraction);
    QPainterPath fillPath;
    fillPath.addRoundedRect(filled, radius, radius);
    painter.fillPath(fillPath, tint_);
}

// ---- SwitchButton ------------------------------------------------------------

SwitchButton::SwitchButton(QWidget* parent) : QAbstractButton(parent) {
    setCheckable(true);
    setFixedSize(sizeHint());
    setCursor(Qt::PointingHandCursor);
}

void SwitchButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const double radius = track.height() / 2;
    painter.setPen(Qt::NoPen);
    painter.setBrush(isChecked() ? theme::color(NamedColor::blue) : theme::color(NamedColor::gray, 0.45));
    painter.drawRoundedRect(track, radius, radius);
    const double knob = track.height() - 4;
    const double x = isChecked() ? track.right() - 2 - knob : track.left() + 2;
    painter.setBrush(Qt::white);
    painter.drawEllipse(QRectF(x, track.top() + 2, knob, knob));
}

// ---- RoundedCard -------------------------------------------------------------

RoundedCard::RoundedCard(double radius, const QColor& fill, const QColor& stroke, QWidget* parent)
    : QFrame(parent), radius_(radius), fill_(fill), stroke_(stroke) {}

void RoundedCard::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), radius_, radius_);
    painter.fillPath(path, fill_);
    if (stroke_.isValid() && stroke_.alpha() > 0) {
        painter.setPen(QPen(stroke_, 1));
        painter.drawPath(path);
    }
}

// ---- Buttons -----------------------------------------------------------------

void styleBorderedButton(QAbstractButton& button) {
    button.setFont(theme::font(TextStyle::body));
    button.setIconSize(QSize(14, 14));
    button.setCursor(Qt::PointingHandCursor);
}

void styleProminentButton(QAbstractButton& button, const QColor& tint, bool large) {
    button.setFont(theme::font(TextStyle::body, large ? theme::Weight::semibold : theme::Weight::regular));
    button.setIconSize(QSize(14, 14));
    button.setCursor(Qt::PointingHandCursor);
    button.setStyleSheet(QStringLiteral("QPushButton { background: %1; color: white; border: none; border-radius: 6px;"
                                        " padding: %2px 14px; }"
                                        "QPushButton:pressed { background: %3; }"
                                        "QPushButton:disabled { background: %4; }")
                             .arg(tint.name(), QString::number(large ? 8 : 4), tint.darker(120).name(),
                                  theme::color(NamedColor::gray, 0.5).name(QColor::HexArgb)));
}

}  // namespace tessaron::views
