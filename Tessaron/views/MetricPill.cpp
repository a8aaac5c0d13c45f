#include "views/MetricPill.hpp"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>

#include "views/PanelWidgets.hpp"

namespace tessaron::views {

MetricPill::MetricPill(const QString& label, const QString& value, QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 6, 12, 6);
    row->setSpacing(6);
    label_ = styledLabel(label, theme::TextStyle::caption, theme::NamedColor::secondary);
    value_ = styledLabel(value, theme::TextStyle::callout, theme::NamedColor::primary, theme::Weight::bold);
    for (QLabel* text : {label_, value_}) {
        text->setWordWrap(false);
        row->addWidget(text, 0, Qt::AlignVCenter);
    }
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QString MetricPill::label() const { return label_->text(); }
QString MetricPill::value() const { return value_->text(); }
void MetricPill::setValue(const QString& value) { value_->setText(value); }

void MetricPill::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), 6, 6);
    painter.fillPath(path, QApplication::palette().color(QPalette::Base));
}

}  // namespace tessaron::views
