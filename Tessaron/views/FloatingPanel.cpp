#include "views/FloatingPanel.hpp"

#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

namespace tessaron::views {

FloatingPanel::FloatingPanel(double radius, theme::Material material, QWidget* parent)
    : QWidget(parent), radius_(radius), material_(material) {
    setAttribute(Qt::WA_TranslucentBackground);
}

void FloatingPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    theme::paintPanel(painter, QRectF(rect()), radius_, material_);
}

PlaceholderView::PlaceholderView(const QString& title, QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 20);
    label_ = new QLabel(title, this);
    label_->setFont(theme::font(theme::TextStyle::title3, theme::Weight::semibold));
    QPalette palette = label_->palette();
    palette.setColor(QPalette::WindowText, theme::color(theme::NamedColor::secondary));
    label_->setPalette(palette);
    layout->addWidget(label_, 0, Qt::AlignTop | Qt::AlignLeft);
    layout->addStretch(1);
}

void PlaceholderView::setTitle(const QString& title) { label_->setText(title); }
QString PlaceholderView::title() const { return label_->text(); }

}  // namespace tessaron::views
