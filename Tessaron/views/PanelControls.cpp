#include "views/PanelControls.hpp"

#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include <algorithm>

#include "views/FormWidgets.hpp"
#include "views/PanelWidgets.hpp"

namespace tessaron::views {

using theme::NamedColor;
using theme::TextStyle;

QLabel* monospacedLabel(const QString& text, TextStyle style, NamedColor color, theme::Weight weight, QWidget* parent) {
    QLabel* label = styledLabel(text, style, color, weight, parent);
    label->setWordWrap(false);
    label->setFont(theme::monospacedFont(style, weight));
    return label;
}

QWidget* paddedDivider(QWidget* parent, int padding) {
    auto* holder = new QWidget(parent);
    auto* layout = new QVBoxLayout(holder);
    layout->setContentsMargins(0, padding, 0, padding);
    layout->addWidget(divider());
    return holder;
}

// ---- LinearProgressBar -------------------------------------------------------

LinearProgressBar::LinearProgressBar(QWidget* parent) : QWidget(parent), tint_(theme::color(NamedColor::blue)) {
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
