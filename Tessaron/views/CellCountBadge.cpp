#include "views/CellCountBadge.hpp"

#include <QVBoxLayout>

#include "views/PanelWidgets.hpp"

namespace tessaron::views {

CellCountBadge::CellCountBadge(QWidget* parent) : QWidget(parent) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    countLabel_ = styledLabel(QStringLiteral("0"), theme::TextStyle::body, theme::NamedColor::primary);
    countLabel_->setFont(theme::systemFont(34, theme::Weight::bold));
    column->addWidget(countLabel_);
    column->addWidget(styledLabel(QStringLiteral("cells so far — watch them split in the background"),
                                  theme::TextStyle::caption2, theme::NamedColor::secondary));
}

void CellCountBadge::setCount(qint64 count) {
    count_ = count;
    countLabel_->setText(QString::number(count));
}

}  // namespace tessaron::views
