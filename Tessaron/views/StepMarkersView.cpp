#include "views/StepMarkersView.hpp"

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

#include "views/Icons.hpp"
#include "views/Theme.hpp"

namespace tessaron::views {
namespace {

constexpr int padding = 6;
constexpr int markerHeight = 32;
constexpr int connector = 14;
constexpr int collapsedWidth = 32;

std::size_t indexOf(viewmodel::WorkflowStep step) { return static_cast<std::size_t>(step); }

}  // namespace

StepMarkersView::StepMarkersView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
    setCursor(Qt::PointingHandCursor);
    for (auto step : viewmodel::allWorkflowSteps) statuses_[indexOf(step)] = viewmodel::StepProgress::none();
}

void StepMarkersView::setSelectedStep(viewmodel::WorkflowStep step) {
    if (selected_ == step) return;
    selected_ = step;
    updateGeometry();
    resize(sizeHint());
    update();
}

void StepMarkersView::setStatuses(const std::array<viewmodel::StepProgress, 5>& statuses) {
    statuses_ = statuses;
    update();
}

int StepMarkersView::markerWidth(viewmodel::WorkflowStep step) const {
    if (step != selected_) return collapsedWidth;
    QFontMetrics metrics(theme::font(theme::TextStyle::callout, theme::Weight::semibold));
    return metrics.horizontalAdvance(QString::fromStdString(viewmodel::toString(step))) + 28;
}

QRect StepMarkersView::markerRect(viewmodel::WorkflowStep step) const {
    int x = padding;
    for (auto candidate : viewmodel::allWorkflowSteps) {
        int width = markerWidth(candidate);
        if (candidate == step) return QRect(x, padding, width, markerHeight);
        x += width + connector;
    }
    return {};
}

QSize StepMarkersView::sizeHint() const {
    QRect last = markerRect(viewmodel::WorkflowStep::final);
    return QSize(last.right() + 1 + padding, markerHeight + 2 * padding);
}

void StepMarkersView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    theme::paintPanel(painter, QRectF(rect()), -1, theme::Material::ultraThin);
    using Kind = viewmodel::StepProgress::Kind;
    for (auto step : viewmodel::allWorkflowSteps) {
        const QRectF marker = markerRect(step);
        const auto& status = statuses_[indexOf(step)];
        const bool done = status.kind == Kind::done;
        if (step != viewmodel::WorkflowStep::final) {
            painter.setPen(QPen(theme::color(done ? theme::NamedColor::green : theme::NamedColor::gray, done ? 1 : 0.4), 2));
            painter.drawLine(QPointF(marker.right() + 2, marker.center().y()),
                             QPointF(marker.right() + connector - 2, marker.center().y()));
        }
        QPainterPath capsule;
        capsule.addRoundedRect(marker, marker.height() / 2, marker.height() / 2);
        QColor fill = done ? theme::color(theme::NamedColor::green, 0.18) : theme::color(theme::NamedColor::gray, 0.15);
        if (step == selected_) fill = theme::color(theme::NamedColor::blue, 0.18);
        painter.fillPath(capsule, fill);
        if (status.kind == Kind::fraction || status.kind == Kind::indeterminate) {
            // Running: the part done is filled in the progress accent.
            double fraction = status.kind == Kind::fraction ? std::clamp(status.value, 0.0, 1.0) : 1.0;
            painter.save();
            painter.setClipPath(capsule);
            painter.fillRect(QRectF(marker.left(), marker.top(), marker.width() * fraction, marker.height()),
                             theme::color(theme::NamedColor::yellow, 0.3));
            painter.restore();
        }
        if (step == selected_) {
            painter.setPen(theme::color(theme::NamedColor::blue));
            painter.setFont(theme::font(theme::TextStyle::callout, theme::Weight::semibold));
            painter.drawText(marker, Qt::AlignCenter, QString::fromStdString(viewmodel::toString(step)));
        } else if (done) {
            drawSymbol(painter, Symbol::checkmark, marker.adjusted(9, 9, -9, -9), theme::color(theme::NamedColor::green));
        } else {
            // The step's initial letter in place of its own symbol.
            painter.setPen(theme::color(theme::NamedColor::secondary));
            painter.setFont(theme::font(theme::TextStyle::callout, theme::Weight::semibold));
            painter.drawText(marker, Qt::AlignCenter, QString::fromStdString(viewmodel::toString(step)).left(1));
        }
    }
}

void StepMarkersView::mouseReleaseEvent(QMouseEvent* event) {
    for (auto step : viewmodel::allWorkflowSteps) {
        if (markerRect(step).contains(event->position().toPoint())) {
            if (onStepClicked) onStepClicked(step);
            return;
        }
    }
}

}  // namespace tessaron::views
