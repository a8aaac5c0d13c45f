#include "views/StepMarkersView.hpp"

#include <QDateTime>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>
#include <QVariantAnimation>

#include <algorithm>
#include <cmath>

#include "views/Motion.hpp"
#include "views/Theme.hpp"

namespace tessaron::views {
namespace {

using viewmodel::WorkflowStep;
using Kind = pipeline::PipelineState::Kind;
using ProgressKind = viewmodel::StepProgress::Kind;

constexpr int sidePadding = 24;
constexpr int spacing = 8;
constexpr int pillHeight = 40;
constexpr int connectorWidth = 22;
constexpr int connectorHeight = 4;
constexpr int iconSize = 13;
constexpr int iconSpacing = 6;
constexpr int pillPadding = 16;
constexpr double sweepSeconds = 1.6;
constexpr int fillMilliseconds = 300;
constexpr Motion::Spring selectionSpring{0.4, 0.7};

std::size_t indexOf(WorkflowStep step) { return static_cast<std::size_t>(step); }

QFont labelFont() {
    QFont font = theme::monospacedFont(theme::TextStyle::body);
    font.setPixelSize(13);
    font.setWeight(QFont::Medium);
    return font;
}

}  // namespace

StepMarkersView::StepMarkersView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
    setCursor(Qt::PointingHandCursor);
    for (auto step : viewmodel::allWorkflowSteps) statuses_[indexOf(step)] = viewmodel::StepProgress::none();
    sweep_.setInterval(1000 / 30);
    connect(&sweep_, &QTimer::timeout, this, qOverload<>(&QWidget::update));
    fill_ = new QVariantAnimation(this);
    connect(fill_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        shownFraction_ = value.toDouble();
        update();
    });
    selection_ = new QVariantAnimation(this);
    connect(selection_, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& value) { showSelection(value.toDouble()); });
    showSelection(1);
}

QString StepMarkersView::label(WorkflowStep step) { return QString::fromStdString(viewmodel::toString(step)); }

Symbol StepMarkersView::symbol(WorkflowStep step) {
    switch (step) {
    case WorkflowStep::input: return Symbol::folder;
    case WorkflowStep::sfm: return Symbol::cameraAperture;
    case WorkflowStep::planning: return Symbol::squareGrid3x3;
    case WorkflowStep::training: return Symbol::cpu;
    case WorkflowStep::final: return Symbol::cubeTransparent;
    }
    return Symbol::folder;
}

bool StepMarkersView::isDone(WorkflowStep step, const pipeline::PipelineState& state,
                             std::optional<WorkflowStep> cancelledStep) {
    // A cancelled run got as far as the step it stopped in.
    if (state.kind == Kind::idle) return cancelledStep && indexOf(step) < indexOf(*cancelledStep);
    return viewmodel::isStepFinished(step, state);
}

Symbol StepMarkersView::shownSymbol(WorkflowStep step) const {
    return isDone(step, state_, cancelledStep_) && step != selected_ ? Symbol::checkmark : symbol(step);
}

void StepMarkersView::setSelectedStep(WorkflowStep step) {
    if (selected_ == step) return;
    selected_ = step;
    // A change in mid-spring starts from where the pills are shown.
    fromWidths_ = shownWidths_;
    fromLabels_ = shownLabels_;
    refreshSweep();
    refreshFill(false);
    Motion::run(*selection_, 0.0, 1.0, selectionSpring);
    // Without motion it ends at once at 1, the value it already held after
    // the last change, and Qt signals no value that did not change.
    if (selection_->state() != QAbstractAnimation::Running) showSelection(1);
}

void StepMarkersView::showSelection(double progress) {
    for (auto step : viewmodel::allWorkflowSteps) {
        const std::size_t index = indexOf(step);
        const double width = settledWidth(step);
        const double label = step == selected_ ? 1.0 : 0.0;
        shownWidths_[index] = fromWidths_[index] + (width - fromWidths_[index]) * progress;
        // The spring overshoots; a label's opacity cannot.
        shownLabels_[index] = std::clamp(fromLabels_[index] + (label - fromLabels_[index]) * progress, 0.0, 1.0);
    }
    // Resized about its centre, so that a bar the window centred stays so.
    const QSize size = sizeHint();
    const int centre = geometry().center().x();
    if (size != this->size()) setGeometry(centre - (size.width() - 1) / 2, y(), size.width(), size.height());
    updateGeometry();
    update();
}

void StepMarkersView::setStatuses(const std::array<viewmodel::StepProgress, 5>& statuses) {
    statuses_ = statuses;
    refreshSweep();
    refreshFill(true);
    update();
}

void StepMarkersView::refreshFill(bool animated) {
    const auto& status = statusOf(selected_);
    const double target = status.kind == ProgressKind::fraction ? status.value : 0.0;
    if (!animated) {
        fill_->stop();
        shownFraction_ = target;
        return;
    }
    // Already there, or on the way there: the easing keeps its course.
    if (fill_->state() == QAbstractAnimation::Running ? fill_->endValue().toDouble() == target
                                                      : shownFraction_ == target)
        return;
    Motion::run(*fill_, shownFraction_, target, fillMilliseconds, QEasingCurve::InOutQuad);
}

void StepMarkersView::setState(const pipeline::PipelineState& state) {
    state_ = state;
    update();
}

void StepMarkersView::setCancelledStep(std::optional<WorkflowStep> step) {
    if (cancelledStep_ == step) return;
    cancelledStep_ = step;
    update();
}

void StepMarkersView::setOnDarkBackground(bool dark) {
    if (onDark_ == dark) return;
    onDark_ = dark;
    update();
}

QColor StepMarkersView::pendingFill() const {
    return onDark_ ? theme::onDarkColor(theme::NamedColor::gray, 0.25) : theme::color(theme::NamedColor::gray, 0.25);
}

QColor StepMarkersView::pendingSymbolColor() const {
    return onDark_ ? theme::onDarkColor(theme::NamedColor::secondary) : theme::color(theme::NamedColor::secondary);
}

const viewmodel::StepProgress& StepMarkersView::statusOf(WorkflowStep step) const { return statuses_[indexOf(step)]; }

void StepMarkersView::refreshSweep() {
    // The band moves only while the selected step runs without a known amount.
    if (statusOf(selected_).kind == ProgressKind::indeterminate) {
        if (!sweep_.isActive()) sweep_.start();
    } else {
        sweep_.stop();
    }
}

std::optional<double> StepMarkersView::fillWidth() const {
    const auto& status = statusOf(selected_);
    if (status.kind != ProgressKind::fraction) return std::nullopt;
    // Below zero nothing shows; above one the clip keeps it to the pill.
    return std::max(0.0, shownFraction_ * markerRect(selected_).width());
}

int StepMarkersView::markerWidth(WorkflowStep step) const {
    return int(std::lround(shownWidths_[indexOf(step)]));
}

int StepMarkersView::settledWidth(WorkflowStep step) const {
    if (step != selected_) return pillHeight;
    return pillPadding + iconSize + iconSpacing + QFontMetrics(labelFont()).horizontalAdvance(label(step)) +
           pillPadding;
}

QRect StepMarkersView::markerRect(WorkflowStep step) const {
    int x = sidePadding;
    for (auto candidate : viewmodel::allWorkflowSteps) {
        const int width = markerWidth(candidate);
        if (candidate == step) return QRect(x, 0, width, pillHeight);
        x += width + spacing + connectorWidth + spacing;
    }
    return {};
}

QSize StepMarkersView::sizeHint() const {
    return QSize(markerRect(WorkflowStep::final).right() + 1 + sidePadding, pillHeight);
}

bool StepMarkersView::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        for (auto step : viewmodel::allWorkflowSteps) {
            if (markerRect(step).contains(help->pos())) {
                QToolTip::showText(help->globalPos(), label(step), this, markerRect(step));
                return true;
            }
        }
        QToolTip::hideText();
        event->ignore();
        return true;
    }
    return QWidget::event(event);
}

void StepMarkersView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    for (auto step : viewmodel::allWorkflowSteps) {
        const QRectF pill = markerRect(step);
        const bool done = isDone(step, state_, cancelledStep_);
        const bool selected = step == selected_;
        if (step != WorkflowStep::final) {
            const QRectF connector(pill.right() + 1 + spacing, pill.center().y() - connectorHeight / 2.0,
                                   connectorWidth, connectorHeight);
            painter.setPen(Qt::NoPen);
            const QColor pending = onDark_ ? theme::onDarkColor(theme::NamedColor::gray, 0.3)
                                           : theme::color(theme::NamedColor::gray, 0.3);
            painter.setBrush(done ? theme::color(theme::NamedColor::green) : pending);
            painter.drawRoundedRect(connector, connectorHeight / 2.0, connectorHeight / 2.0);
        }
        if (selected) {
            QPainterPath capsule;
            capsule.addRoundedRect(pill, pill.height() / 2, pill.height() / 2);
            theme::paintPanel(painter, pill, 20, theme::Material::ultraThin, false);
            const auto& status = statusOf(step);
            painter.save();
            painter.setClipPath(capsule);
            if (status.kind == ProgressKind::fraction) {
                painter.fillRect(QRectF(pill.left(), pill.top(), *fillWidth(), pill.height()),
                                 theme::color(theme::NamedColor::yellow, 0.28));
            } else if (status.kind == ProgressKind::indeterminate) {
                const double t = std::fmod(QDateTime::currentMSecsSinceEpoch() / 1000.0, sweepSeconds);
                const double band = 0.45 * pill.width();
                const double x = pill.left() + (t / sweepSeconds) * (band + pill.width()) - band;
                QLinearGradient gradient(x, 0, x + band, 0);
                gradient.setColorAt(0, Qt::transparent);
                gradient.setColorAt(0.5, theme::color(theme::NamedColor::yellow, 0.22));
                gradient.setColorAt(1, Qt::transparent);
                QPainterPath bandShape;
                bandShape.addRoundedRect(QRectF(x, pill.top(), band, pill.height()), pill.height() / 2,
                                         pill.height() / 2);
                painter.fillPath(bandShape, gradient);
            }
            painter.restore();
            painter.setPen(QPen(theme::color(theme::NamedColor::yellow, 0.85), 2));
            painter.setBrush(Qt::NoBrush);
            painter.drawPath(capsule);
        } else {
            const QColor fill = done ? theme::color(theme::NamedColor::green) : pendingFill();
            painter.setPen(Qt::NoPen);
            painter.setBrush(fill);
            if (step == WorkflowStep::final) {
                // A diamond: a rounded square turned by 45°.
                painter.save();
                painter.translate(pill.center());
                painter.rotate(45);
                const double side = pill.height() / std::sqrt(2.0);
                painter.drawRoundedRect(QRectF(-side / 2, -side / 2, side, side), 5, 5);
                painter.restore();
            } else {
                // A circle once settled; a capsule while it shrinks from selected.
                painter.drawRoundedRect(pill, pill.height() / 2, pill.height() / 2);
            }
        }
        const QColor iconColor = selected ? theme::color(theme::NamedColor::primary)
                                 : done   ? QColor(Qt::white)
                                          : pendingSymbolColor();
        // The icon moves from the pill's centre to its leading edge as the
        // label comes in, and back as it goes.
        const double presence = shownLabels_[indexOf(step)];
        QRectF icon(0, 0, iconSize, iconSize);
        const double leading = pill.left() + pillPadding + iconSize / 2.0;
        icon.moveCenter(QPointF(pill.center().x() + (leading - pill.center().x()) * presence, pill.center().y()));
        if (presence > 0) {
            const QRectF text(icon.right() + iconSpacing, pill.top(),
                              QFontMetrics(labelFont()).horizontalAdvance(label(step)), pill.height());
            painter.save();
            painter.setClipRect(pill);
            painter.setOpacity(presence);
            painter.translate(text.center());
            painter.scale(presence, presence);
            painter.translate(-text.center());
            painter.setPen(theme::color(theme::NamedColor::primary));
            painter.setFont(labelFont());
            painter.drawText(text, Qt::AlignLeft | Qt::AlignVCenter, label(step));
            painter.restore();
        }
        drawSymbol(painter, shownSymbol(step), icon, iconColor);
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
