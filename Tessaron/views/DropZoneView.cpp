#include "views/DropZoneView.hpp"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include "views/FormWidgets.hpp"
#include "views/InputFormText.hpp"

namespace tessaron::views {

using theme::NamedColor;
using theme::TextStyle;
using viewmodel::PipelineViewModel;

DropZoneView::DropZoneView(PipelineViewModel& model, QWidget* parent)
    : QWidget(parent),
      model_(model),
      symbol_(new SymbolView(Symbol::dropTray, 50, theme::color(NamedColor::gray))),
      headline_(styledLabel({}, TextStyle::headline, theme::NamedColor::primary)),
      caption_(styledLabel({}, TextStyle::caption, NamedColor::secondary)) {
    setAcceptDrops(true);
    setMaximumSize(500, 200);
    setMinimumHeight(160);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    auto* stack = new QVBoxLayout(this);
    stack->setSpacing(12);
    stack->addStretch(1);
    stack->addWidget(symbol_, 0, Qt::AlignHCenter);
    headline_->setAlignment(Qt::AlignHCenter);
    caption_->setAlignment(Qt::AlignHCenter);
    stack->addWidget(headline_);
    stack->addWidget(caption_);
    stack->addStretch(1);
    connect(&model_, &PipelineViewModel::selectedInputURLChanged, this, &DropZoneView::refresh);
    connect(&model_, &PipelineViewModel::isInputVideoChanged, this, &DropZoneView::refresh);
    refresh();
}

void DropZoneView::refresh() {
    symbol_->setSymbol(Symbol::dropTray, theme::color(isTargeted_ ? NamedColor::blue : NamedColor::gray));
    if (const viewmodel::OptionalPath& input = model_.selectedInputURL()) {
        headline_->setText(InputFormText::lastPathComponent(*input));
        setTextColor(headline_, theme::color(NamedColor::blue));
        caption_->setText(model_.isInputVideo() ? QStringLiteral("Video file selected")
                                                : QStringLiteral("Image folder selected"));
    } else {
        headline_->setText(QStringLiteral("Drag & Drop"));
        setTextColor(headline_, theme::color(NamedColor::primary));
        caption_->setText(QStringLiteral("Folder of images or a single video file"));
    }
    update();
}

void DropZoneView::setTargeted(bool targeted) {
    if (isTargeted_ == targeted) return;
    isTargeted_ = targeted;
    refresh();
}

void DropZoneView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // The border is stroked inside the bounds.
    const QRectF outline = QRectF(rect()).adjusted(1, 1, -1, -1);
    QPainterPath box;
    box.addRoundedRect(outline, 16, 16);
    if (isTargeted_) painter.fillPath(box, theme::color(NamedColor::blue, 0.08));
    QPen dashes(isTargeted_ ? theme::color(NamedColor::blue) : theme::color(NamedColor::gray, 0.5), 2);
    // Qt counts dashes in line widths: 5 widths are 10 points.
    dashes.setDashPattern({5, 5});
    painter.setPen(dashes);
    painter.drawPath(box);
}

void DropZoneView::dragEnterEvent(QDragEnterEvent* event) {
    // No new input while a run is busy; otherwise a folder or a video file.
    if (model_.isBusy() || !model_.canTakeDrop(*event->mimeData())) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    setTargeted(true);
}

void DropZoneView::dragLeaveEvent(QDragLeaveEvent* event) {
    setTargeted(false);
    QWidget::dragLeaveEvent(event);
}

void DropZoneView::dropEvent(QDropEvent* event) {
    setTargeted(false);
    if (!model_.isBusy() && model_.handleDrop(*event->mimeData()))
        event->acceptProposedAction();
    else
        event->ignore();
}

}  // namespace tessaron::views
