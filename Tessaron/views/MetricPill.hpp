#pragma once

#include <QString>
#include <QWidget>

class QLabel;

namespace tessaron::views {

// A label and its value in a small rounded pill.
class MetricPill : public QWidget {
    Q_OBJECT
public:
    MetricPill(const QString& label, const QString& value, QWidget* parent = nullptr);

    QString label() const;
    QString value() const;
    void setValue(const QString& value);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* label_;
    QLabel* value_;
};

}  // namespace tessaron::views
