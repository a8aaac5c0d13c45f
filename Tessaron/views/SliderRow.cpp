#include "views/SliderRow.hpp"

#include <QHBoxLayout>
#include <QSignalBlocker>

#include <algorithm>
#include <cmath>

#include "views/FormWidgets.hpp"
#include "views/WheelFocusGuard.hpp"

namespace tessaron::views {

SliderRow::SliderRow(const QString& label, double minimum, double maximum, double step, int valueWidth,
                     ValueText valueText, QWidget* parent)
    : QWidget(parent),
      minimum_(minimum),
      step_(step),
      slider_(new QSlider(Qt::Horizontal)),
      value_(oneLine(styledLabel({}, theme::TextStyle::callout, theme::NamedColor::primary, theme::Weight::bold))),
      valueText_(std::move(valueText)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(oneLine(styledLabel(label, theme::TextStyle::callout, theme::NamedColor::primary)));
    // The slider counts steps from the lower end, so it only ever stops on
    // whole steps.
    slider_->setMinimum(0);
    slider_->setSingleStep(1);
    slider_->setPageStep(1);
    slider_->setAccessibleName(label);
    // The rows sit in scrolling forms.
    WheelFocusGuard::install(slider_);
    setMaximum(maximum);
    row->addWidget(slider_, 1);
    value_->setFixedWidth(valueWidth);
    value_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    row->addWidget(value_);
    connect(slider_, &QSlider::valueChanged, this, [this](int position) {
        const double value = minimum_ + position * step_;
        showValueText(value);
        emit valueEdited(value);
    });
}

void SliderRow::setValue(double value) {
    const QSignalBlocker blocker(slider_);
    slider_->setValue(int(std::lround((value - minimum_) / step_)));
    showValueText(value);
}

double SliderRow::value() const {
    return minimum_ + slider_->value() * step_;
}

void SliderRow::setMaximum(double maximum) {
    const QSignalBlocker blocker(slider_);
    slider_->setMaximum(std::max(0, int(std::floor((maximum - minimum_) / step_ + 1e-9))));
}

double SliderRow::maximum() const {
    return minimum_ + slider_->maximum() * step_;
}

void SliderRow::showValueText(double value) {
    value_->setText(valueText_(value));
}

}  // namespace tessaron::views
