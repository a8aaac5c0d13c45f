#include "views/MetricPill.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>

#include "views/PanelWidgets.hpp"

namespace tessaron::views {

MetricPill::MetricPill(const QString& label, const QString& value, QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 6, 12, 6);
    row->setSpacing(6);
    label_ = styledLabel(label, theme::TextStyle::caption, theme::NamedColor::secondary);
    label_->setWordWrap(false);
    value_ = styledLabel(value, theme::TextStyle::callout, theme::NamedColor::primary, theme::Weight::bold);
    value_->setWordWrap(false);
    row->addWidget(label_, 0, Qt::AlignVCenter);
    row->addWidget(value_, 0, Qt::AlignVCenter);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QString MetricPill::label() const { return label_->text(); }
QString MetricPill::value() const { return value_->text(); }
void MetricPill::setValue(const QString& value) { value_->setText(value); }

void MetricPill::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), 6, 6);
    // The desktop's control background.
    painter.fillPath(shape, palette().color(QPalette::Button));
}

}  // namespace tessaron::views
