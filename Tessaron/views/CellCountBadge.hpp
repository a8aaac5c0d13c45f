#pragma once

#include <QWidget>

namespace tessaron::views {

// The large count of partition cells so far, with its caption. Main thread only.
class CellCountBadge : public QWidget {
    Q_OBJECT
public:
    explicit CellCountBadge(qint64 count = 0, QWidget* parent = nullptr);

    qint64 count() const { return count_; }
    void setCount(qint64 count);

private:
    class CountText;

    qint64 count_;
    CountText* text_;
};

}  // namespace tessaron::views
