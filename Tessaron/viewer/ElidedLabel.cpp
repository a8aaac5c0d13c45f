#include "viewer/ElidedLabel.hpp"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>

namespace tessaron::viewer {

namespace {
constexpr int wrapFlags = Qt::TextWordWrap | Qt::TextWrapAnywhere;
}

ElidedLabel::ElidedLabel(const QString& text, int maxLines, QWidget* parent)
    : QWidget(parent), text_(text), maxLines_(std::max(1, maxLines)) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

void ElidedLabel::setText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    updateGeometry();
    update();
}

QString ElidedLabel::shownText() const {
    QFontMetrics metrics(font());
    // Line breaks in the text would defeat the line limit.
    QString flat = text_;
    flat.replace(QLatin1Char('\n'), QLatin1Char(' '));
    const int width = std::max(1, contentsRect().width());
    if (maxLines_ == 1) return metrics.elidedText(flat, Qt::ElideMiddle, width);
    const QRect limit(0, 0, width, metrics.lineSpacing() * maxLines_);
    if (metrics.boundingRect(limit, wrapFlags, flat).height() <= limit.height()) return flat;
    // Shorten until the wrapped text fits into the lines we have.
    for (int budget = width * maxLines_; budget > width / 2; budget -= std::max(4, width / 20)) {
        QString shortened = metrics.elidedText(flat, Qt::ElideMiddle, budget);
        if (metrics.boundingRect(limit, wrapFlags, shortened).height() <= limit.height()) return shortened;
    }
    return metrics.elidedText(flat, Qt::ElideMiddle, width);
}

QSize ElidedLabel::sizeHint() const {
    QFontMetrics metrics(font());
    return {std::min(metrics.horizontalAdvance(text_), 300) + 2, metrics.lineSpacing()};
}

int ElidedLabel::heightForWidth(int width) const {
    QFontMetrics metrics(font());
    const int height = metrics.boundingRect(QRect(0, 0, std::max(1, width), 1 << 20), wrapFlags, text_).height();
    return std::clamp(height, metrics.lineSpacing(), metrics.lineSpacing() * maxLines_);
}

QSize ElidedLabel::minimumSizeHint() const {
    QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(QStringLiteral("W…W")), metrics.lineSpacing()};
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(contentsRect(), Qt::AlignLeft | Qt::AlignVCenter | wrapFlags, shownText());
}

}  // namespace tessaron::viewer
