#pragma once

#include <QLabel>
#include <QWidget>

namespace tessaron::views {

// The large count of partition cells so far, with its caption. Main thread only.
class CellCountBadge : public QWidget {
    Q_OBJECT
public:
    explicit CellCountBadge(QWidget* parent = nullptr);
    void setCount(qint64 count);
    qint64 count() const { return count_; }

private:
    QLabel* countLabel_;
    qint64 count_ = 0;
};

}  // namespace tessaron::views
