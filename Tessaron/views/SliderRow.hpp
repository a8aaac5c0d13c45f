#pragma once

#include <QLabel>
#include <QSlider>
#include <QWidget>

#include <functional>

namespace tessaron::views {

// A label, a slider over a closed range in whole steps, and the value as
// text in a column of fixed width.
class SliderRow : public QWidget {
    Q_OBJECT
public:
    using ValueText = std::function<QString(double value)>;

    SliderRow(const QString& label, double minimum, double maximum, double step, int valueWidth, ValueText valueText,
              QWidget* parent = nullptr);

    // Shows `value`, snapped into the range; signals nothing.
    void setValue(double value);
    double value() const;
    // A new upper end; the range never runs below its lower end.
    void setMaximum(double maximum);
    double minimum() const { return minimum_; }
    double maximum() const;

    QSlider* slider() const { return slider_; }
    QString valueText() const { return value_->text(); }

signals:
    // The user moved the slider to `value` (each step of a drag).
    void valueEdited(double value);

private:
    void showValueText(double value);
    double minimum_;
    double step_;
    QSlider* slider_;
    QLabel* value_;
    ValueText valueText_;
};

}  // namespace tessaron::views
