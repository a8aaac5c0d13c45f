#include "views/SettingsSection.hpp"

#include <QPainter>
#include <QPainterPath>

#include "services/TourAnchors.hpp"
#include "views/FormWidgets.hpp"
#include "views/Theme.hpp"

namespace tessaron::views {

SettingsSection::SettingsSection(const QString& title, QWidget* parent)
    : QWidget(parent),
      title_(styledLabel(title, theme::TextStyle::headline, theme::NamedColor::primary)),
      rows_(new QVBoxLayout) {
    setMaximumWidth(maximumWidth);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(16, 16, 16, 16);
    stack->setSpacing(8);
    stack->addWidget(title_);
    rows_->setContentsMargins(0, 0, 0, 0);
    rows_->setSpacing(8);
    stack->addLayout(rows_);
}

void SettingsSection::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath card;
    card.addRoundedRect(QRectF(rect()), 10, 10);
    painter.fillPath(card, palette().color(QPalette::Base));
}

void tourAnchor(QWidget* view, const char* step) {
    view->setObjectName(QString::fromLatin1(step));
    services::TourAnchors::set(view, QString::fromLatin1(step));
}

}  // namespace tessaron::views
