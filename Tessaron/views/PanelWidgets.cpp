#include "views/PanelWidgets.hpp"

#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

#include <algorithm>

namespace tessaron::views {
namespace {

constexpr int badgeSymbolSide = 13;
constexpr int spinnerSide = 12;
constexpr int spinnerSteps = 12;

}  // namespace

void setTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::ButtonText, color);
    palette.setColor(QPalette::Text, color);
    widget->setPalette(palette);
}

QLabel* styledLabel(const QString& text, theme::TextStyle style, theme::NamedColor color, theme::Weight weight,
                    QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(theme::font(style, weight));
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    setTextColor(label, theme::color(color));
    return label;
}

SymbolView::SymbolView(Symbol symbol, int side, const QColor& color, QWidget* parent)
    : QWidget(parent), symbol_(symbol), color_(color) {
    setFixedSize(side, side);
    setAttribute(Qt::WA_TranslucentBackground);
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

ActivitySpinner::ActivitySpinner(QWidget* parent) : ActivitySpinner(spinnerSide, parent) {}

ActivitySpinner::ActivitySpinner(int side, QWidget* parent) : QWidget(parent) {
    setFixedSize(side, side);
    setAttribute(Qt::WA_TranslucentBackground);
    timer_.setInterval(1000 / spinnerSteps);
    connect(&timer_, &QTimer::timeout, this, [this] {
        phase_ = (phase_ + 1) % spinnerSteps;
        update();
    });
}

void ActivitySpinner::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    timer_.start();
}

void ActivitySpinner::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    timer_.stop();
}

void ActivitySpinner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(width() / 2.0, height() / 2.0);
    const double radius = width() / 2.0;
    for (int spoke = 0; spoke < spinnerSteps; ++spoke) {
        // The spoke at the phase is darkest; those behind it fade.
        const int age = (phase_ - spoke + spinnerSteps) % spinnerSteps;
        QColor color = theme::color(theme::NamedColor::secondary);
        color.setAlphaF(float(color.alphaF() * (1.0 - age / double(spinnerSteps))));
        painter.setPen(QPen(color, std::max(1.5, width() / 8.0), Qt::SolidLine, Qt::RoundCap));
        painter.save();
        painter.rotate(spoke * 360.0 / spinnerSteps);
        painter.drawLine(QPointF(0, -radius * 0.45), QPointF(0, -radius * 0.95));
        painter.restore();
    }
}

QHBoxLayout* StatusBadge::makeRow() {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(4);
    return row;
}

StatusBadge::StatusBadge(const QString& text, const QColor& color, QWidget* parent) : QWidget(parent) {
    auto* row = makeRow();
    spinner_ = new ActivitySpinner(this);
    text_ = new QLabel(text, this);
    text_->setFont(theme::font(theme::TextStyle::caption));
    setTextColor(text_, color);
    row->addWidget(spinner_, 0, Qt::AlignVCenter);
    row->addWidget(text_, 0, Qt::AlignVCenter);
}

StatusBadge::StatusBadge(Symbol symbol, const QColor& color, const QString& text, QWidget* parent) : QWidget(parent) {
    auto* row = makeRow();
    symbol_ = new SymbolView(symbol, badgeSymbolSide, color, this);
    text_ = new QLabel(text, this);
    text_->setFont(theme::font(theme::TextStyle::caption));
    setTextColor(text_, color);
    row->addWidget(symbol_, 0, Qt::AlignVCenter);
    row->addWidget(text_, 0, Qt::AlignVCenter);
}

StatusBadge* runningBadge(const QString& text, QWidget* parent) {
    return new StatusBadge(text, theme::color(theme::NamedColor::blue), parent);
}

StatusBadge* completeBadge(QWidget* parent) {
    return new StatusBadge(Symbol::checkmarkCircleFill, theme::color(theme::NamedColor::green),
                           QStringLiteral("Complete"), parent);
}

StatusBadge* cancelledBadge(QWidget* parent) {
    return new StatusBadge(Symbol::xmarkCircleFill, theme::color(theme::NamedColor::orange), QStringLiteral("Cancelled"),
                           parent);
}

StatusBadge* statusBadge(Symbol symbol, theme::NamedColor color, const QString& text, QWidget* parent) {
    return new StatusBadge(symbol, theme::color(color), text, parent);
}

PanelHeader::PanelHeader(const QString& title, QWidget* parent) : QWidget(parent) {
    row_ = new QHBoxLayout(this);
    // The panel's hide button sits over the header's trailing corner: the
    // status badge ends clear of it.
    row_->setContentsMargins(0, 0, trailingClearance, 0);
    title_ = new QLabel(title, this);
    title_->setTextFormat(Qt::PlainText);
    title_->setFont(theme::font(theme::TextStyle::title2, theme::Weight::bold));
    setTextColor(title_, theme::color(theme::NamedColor::primary));
    row_->addWidget(title_, 0, Qt::AlignVCenter);
    row_->addStretch(1);
}

void PanelHeader::setTrailing(QWidget* trailing) {
    if (trailing_ == trailing) return;
    delete trailing_.data();
    trailing_ = trailing;
    if (trailing) {
        trailing->setParent(this);
        row_->addWidget(trailing, 0, Qt::AlignVCenter);
        trailing->show();
    }
}

QVBoxLayout* panelColumn(QWidget* panel) {
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(16);
    // No alignment on the column: an aligned layout never grows past its
    // size hint, so wrapped texts and rows that need a second line would be
    // cut. The step panel's frame keeps the column at the top.
    return column;
}

QWidget* stepPanel(QWidget* content, QWidget* parent) {
    auto* frame = new QWidget(parent);
    frame->setObjectName(QStringLiteral("stepPanel"));
    auto* column = new QVBoxLayout(frame);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(16);
    content->setParent(frame);
    column->addWidget(content);
    column->addStretch(1);
    return frame;
}

}  // namespace tessaron::views
