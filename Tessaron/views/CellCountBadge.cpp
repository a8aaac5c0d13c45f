#include "views/CellCountBadge.hpp"

#include <QPainter>
#include <QVBoxLayout>

#include "views/PanelWidgets.hpp"

namespace tessaron::views {

// The number in the badge's large bold face.
class CellCountBadge::CountText : public QWidget {
public:
    explicit CountText(QWidget* parent) : QWidget(parent) {
        setFont(theme::systemFont(34, theme::Weight::bold));
        setFixedHeight(fontMetrics().height());
    }
    void setText(const QString& text) {
        text_ = text;
        setMinimumWidth(fontMetrics().horizontalAdvance(text_));
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(theme::color(theme::NamedColor::primary));
        painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, text_);
    }

private:
    QString text_;
};

CellCountBadge::CellCountBadge(qint64 count, QWidget* parent) : QWidget(parent), count_(count) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    text_ = new CountText(this);
    text_->setText(QString::number(count));
    column->addWidget(text_);
    column->addWidget(styledLabel(QStringLiteral("cells so far — watch them split in the background"),
                                  theme::TextStyle::caption2, theme::NamedColor::secondary));
}

void CellCountBadge::setCount(qint64 count) {
    count_ = count;
    text_->setText(QString::number(count));
}

}  // namespace tessaron::views
