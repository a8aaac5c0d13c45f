#include "views/Conversion360LiveView.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>
#include <QVariantAnimation>

#include <algorithm>
#include <cmath>

#include "views/FloatingPanel.hpp"
#include "views/Motion.hpp"
#include "views/PanelWidgets.hpp"
#include "views/RollingNumberLabel.hpp"
#include "views/SoftShadow.hpp"
#include "views/Theme.hpp"

namespace tessaron::views {

namespace {

constexpr double contentPadding = 40;
constexpr double rowSpacing = 24;
constexpr double tileSpacing = 8;
constexpr double frameMaxWidth = 620;
constexpr double frameRadius = 12;
constexpr double tileRadius = 6;
// The crops and the counters move with this spring whenever the preview
// changes.
constexpr Motion::Spring rowSpring{0.4, 0.7};

// One counter: the value over its label; the value's digits roll.
RollingNumberLabel* addCounter(QHBoxLayout* row, const QString& label, const QColor& color, QWidget** column) {
    auto* counter = new QWidget(row->parentWidget());
    counter->setObjectName(label);
    auto* stack = new QVBoxLayout(counter);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(2);
    auto* value = new RollingNumberLabel(rowSpring, counter);
    value->setText(QStringLiteral("0"));
    value->setObjectName(QStringLiteral("value"));
    value->setFont(theme::font(theme::TextStyle::title3, theme::Weight::bold));
    setTextColor(value, color);
    auto* caption = new QLabel(label, counter);
    caption->setFont(theme::font(theme::TextStyle::caption2));
    setTextColor(caption, theme::color(theme::NamedColor::secondary));
    stack->addWidget(value, 0, Qt::AlignHCenter);
    stack->addWidget(caption, 0, Qt::AlignHCenter);
    row->addWidget(counter);
    if (column) *column = counter;
    return value;
}

// `image` drawn to fill `rect` (cut to its aspect), inside a rounded rectangle.
void drawRoundedImage(QPainter& painter, const QImage& image, const QRectF& rect, double radius) {
    QPainterPath clip;
    clip.addRoundedRect(rect, radius, radius);
    painter.save();
    painter.setClipPath(clip);
    if (!image.isNull()) {
        const QSizeF fitted = QSizeF(image.size()).scaled(rect.size(), Qt::KeepAspectRatioByExpanding);
        const QRectF target(rect.center() - QPointF(fitted.width() / 2, fitted.height() / 2), fitted);
        painter.drawImage(target, image);
    }
    painter.restore();
}

}  // namespace

Conversion360LiveView::Conversion360LiveView(viewmodel::PipelineViewModel& model, QWidget* parent)
    : QWidget(parent), model_(model) {
    starting_ = new QWidget(this);
    auto* startingStack = new QVBoxLayout(starting_);
    startingStack->setSpacing(12);
    startingStack->addStretch(1);
    startingStack->addWidget(new ActivitySpinner(20, starting_), 0, Qt::AlignHCenter);
    auto* startingText = new QLabel(QStringLiteral("Starting 360° conversion…"), starting_);
    startingText->setFont(theme::font(theme::TextStyle::callout));
    setTextColor(startingText, theme::color(theme::NamedColor::secondary));
    startingStack->addWidget(startingText, 0, Qt::AlignHCenter);
    startingStack->addStretch(1);

    counters_ = new FloatingPanel(10, theme::Material::ultraThin, this);
    auto* counterRow = new QHBoxLayout(counters_);
    counterRow->setContentsMargins(16, 10, 16, 10);
    counterRow->setSpacing(20);
    rigFrames_ = addCounter(counterRow, QStringLiteral("Rig frames"), theme::color(theme::NamedColor::green), nullptr);
    cropImages_ = addCounter(counterRow, QStringLiteral("Crop images"), theme::color(theme::NamedColor::blue), nullptr);
    sourceFrame_ =
        addCounter(counterRow, QStringLiteral("Source frame"), theme::color(theme::NamedColor::secondary), nullptr);
    progress_ = addCounter(counterRow, QStringLiteral("Progress"), theme::color(theme::NamedColor::orange),
                           &progressColumn_);

    change_ = new QVariantAnimation(this);
    connect(change_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        changeProgress_ = value.toDouble();
        update();
    });
    connect(change_, &QVariantAnimation::finished, this, [this] {
        // Done: the leaving tiles and the previous crops are no longer drawn.
        changeProgress_ = 1;
        leavingTiles_.clear();
        previousCrops_.clear();
        update();
    });

    connect(&model_, &viewmodel::PipelineViewModel::conversionPreviewChanged, this,
            &Conversion360LiveView::previewChanged);
    connect(&model_, &viewmodel::PipelineViewModel::extractionCurrentChanged, this,
            &Conversion360LiveView::refreshCounters);
    connect(&model_, &viewmodel::PipelineViewModel::extractionTotalChanged, this,
            &Conversion360LiveView::refreshCounters);
    previewChanged();
    // What is there when the view is made is simply there.
    change_->stop();
    changeProgress_ = 1;
    leavingTiles_.clear();
    for (RollingNumberLabel* value : {rigFrames_, cropImages_, sourceFrame_, progress_}) value->settle();
}

double Conversion360LiveView::tileSide(double availableWidth, std::size_t cropCount) {
    const double n = double(cropCount);
    return std::max(40.0, (std::min(0.7 * availableWidth, 900.0) - tileSpacing * n) / std::max(n, 1.0));
}

double Conversion360LiveView::frameWidth(double availableWidth) {
    return std::max(0.0, std::min(availableWidth / 2, frameMaxWidth));
}

std::optional<int64_t> Conversion360LiveView::progressPercent(int64_t current, int64_t total) {
    if (total < 1) return std::nullopt;
    // In integers, so that 29 of 100 reads 29, not the 28 of 0.29 × 100.
    const auto exact = static_cast<__int128>(current) * 100 / total;
    return int64_t(std::clamp<__int128>(exact, INT64_MIN, INT64_MAX));
}

void Conversion360LiveView::previewChanged() {
    const viewmodel::ConversionPreviewPointer previous = preview_;
    const std::size_t before = previous ? std::min(previous->crops.size(), maxTiles) : 0;
    preview_ = model_.conversionPreview();
    const std::size_t after = preview_ ? std::min(preview_->crops.size(), maxTiles) : 0;
    // Tiles beyond the new count shrink away where they were; new ones grow
    // in from their centres; those in both cross-fade to their new crop.
    leavingTiles_.clear();
    for (std::size_t i = after; i < before && i < tileRects_.size(); ++i)
        leavingTiles_.push_back({tileRects_[i], previous->crops[i]});
    appearingFrom_ = std::min(before, after);
    previousCrops_.clear();
    if (previous && preview_ && previous->extractedFrames != preview_->extractedFrames)
        previousCrops_.assign(previous->crops.begin(), previous->crops.begin() + std::ptrdiff_t(std::min(before, after)));
    if (before != after || !previousCrops_.empty()) {
        changeProgress_ = 0;
        Motion::run(*change_, 0.0, 1.0, rowSpring);
    }
    starting_->setVisible(!preview_);
    counters_->setVisible(bool(preview_));
    refreshCounters();
    layoutContent();
    update();
}

RollingNumberLabel* Conversion360LiveView::counterValue(const QString& label) const {
    auto* counter = counters_->findChild<QWidget*>(label);
    return counter ? counter->findChild<RollingNumberLabel*>(QStringLiteral("value")) : nullptr;
}

void Conversion360LiveView::refreshCounters() {
    if (!preview_) return;
    const auto cropCount = int64_t(preview_->crops.size());
    auto show = [](RollingNumberLabel* label, int64_t value, const QString& unit = {}) {
        label->setNumber(QString::number(value) + unit, double(value));
    };
    show(rigFrames_, preview_->extractedFrames);
    show(cropImages_, preview_->extractedFrames * cropCount);
    show(sourceFrame_, preview_->sourceFrameIndex);
    const auto percent = progressPercent(model_.extractionCurrent(), model_.extractionTotal());
    progressColumn_->setVisible(percent.has_value());
    if (percent) show(progress_, *percent, QStringLiteral("%"));
    counters_->adjustSize();
    layoutContent();
}

void Conversion360LiveView::resizeEvent(QResizeEvent*) { layoutContent(); }

void Conversion360LiveView::setFreeArea(const QRect& area) {
    if (freeArea_ == area) return;
    freeArea_ = area;
    layoutContent();
    update();
}

std::size_t Conversion360LiveView::tilesPerRow(double width, double side) {
    return std::size_t(std::max(1.0, std::floor((width + tileSpacing) / (side + tileSpacing))));
}

void Conversion360LiveView::layoutContent() {
    const QRect area = freeArea_.isValid() ? freeArea_.intersected(rect()) : rect();
    starting_->setGeometry(area);
    frameRect_ = {};
    tileRects_.clear();
    if (!preview_) return;

    const double available = area.width();
    const std::size_t cropCount = preview_->crops.size();
    const double tile = cropCount > 0 ? tileSide(available, cropCount) : 0;
    // Tiles that do not fit side by side go on more rows of equal length,
    // so that none is hidden under what covers the rest of the view.
    const std::size_t shown = std::min(cropCount, maxTiles);
    const std::size_t fit = tilesPerRow(available - 2 * tileSpacing, tile);
    const std::size_t rows = shown > 0 ? (shown + fit - 1) / fit : 1;
    const std::size_t perRow = shown > 0 ? (shown + rows - 1) / rows : 0;
    const double tilesHeight = double(rows) * tile + tileSpacing * double(rows - 1);
    const QSize countersSize = counters_->sizeHint();
    // The frame keeps its 2:1 shape and gives way when the view is short.
    double frameW = frameWidth(available);
    const double spare = area.height() - 2 * contentPadding - 2 * rowSpacing - tilesHeight - countersSize.height();
    frameW = std::max(0.0, std::min(frameW, 2 * spare));
    const double frameH = frameW / 2;
    const double total = frameH + rowSpacing + tilesHeight + rowSpacing + countersSize.height();
    double y = area.top() + std::max(contentPadding, (area.height() - total) / 2);
    const double centre = area.left() + available / 2;

    frameRect_ = QRectF(centre - frameW / 2, y, frameW, frameH);
    y += frameH + rowSpacing;

    for (std::size_t i = 0; i < shown; ++i) {
        const std::size_t row = i / perRow;
        const std::size_t inRow = std::min(perRow, shown - row * perRow);
        const double rowWidth = double(inRow) * tile + tileSpacing * double(inRow - 1);
        const double x = centre - rowWidth / 2 + double(i % perRow) * (tile + tileSpacing);
        tileRects_.emplace_back(x, y + double(row) * (tile + tileSpacing), tile, tile);
    }
    y += tilesHeight + rowSpacing;

    counters_->setGeometry(int(std::lround(centre - countersSize.width() / 2.0)), int(std::lround(y)),
                           countersSize.width(), countersSize.height());
}

void Conversion360LiveView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    QLinearGradient backdrop(0, 0, 0, height());
    backdrop.setColorAt(0, QColor(0, 0, 0, 77));
    backdrop.setColorAt(1, QColor(0, 0, 0, 0));
    painter.fillRect(rect(), backdrop);
    if (!preview_) {
        for (const LeavingTile& leaving : leavingTiles_) {
            painter.save();
            painter.setOpacity(std::clamp(1 - changeProgress_, 0.0, 1.0));
            drawRoundedImage(painter, leaving.image, leaving.rect, tileRadius);
            painter.restore();
        }
        return;
    }

    if (!frameRect_.isEmpty()) {
        paintSoftShadow(painter, frameRect_, frameRadius, QColor(0, 0, 0, 77), 16, QPointF(0, 6));
        drawRoundedImage(painter, preview_->equirect, frameRect_, frameRadius);
        painter.setPen(QPen(theme::color(theme::NamedColor::blue, 0.5), 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(frameRect_.adjusted(0.5, 0.5, -0.5, -0.5), frameRadius, frameRadius);
    }

    const double change = std::clamp(changeProgress_, 0.0, 1.0);
    // A tile `scale` of its size about its centre.
    auto scaled = [](const QRectF& tile, double scale) {
        scale = std::max(0.00001, scale);
        const QPointF centre = tile.center();
        return QRectF(centre.x() - tile.width() * scale / 2, centre.y() - tile.height() * scale / 2,
                      tile.width() * scale, tile.height() * scale);
    };
    auto drawTile = [&](const QImage& image, const QRectF& tile, double opacity) {
        painter.save();
        painter.setOpacity(opacity);
        drawRoundedImage(painter, image, tile, tileRadius);
        painter.setPen(QPen(QColor(255, 255, 255, 38), 0.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(tile, tileRadius, tileRadius);
        painter.restore();
    };
    for (std::size_t i = 0; i < tileRects_.size(); ++i) {
        if (i >= appearingFrom_ && changeProgress_ < 1) {
            drawTile(preview_->crops[i], scaled(tileRects_[i], changeProgress_), change);
        } else if (i < previousCrops_.size() && changeProgress_ < 1) {
            drawTile(previousCrops_[i], tileRects_[i], 1);
            drawTile(preview_->crops[i], tileRects_[i], change);
        } else {
            drawTile(preview_->crops[i], tileRects_[i], 1);
        }
    }
    for (const LeavingTile& leaving : leavingTiles_)
        drawTile(leaving.image, scaled(leaving.rect, 1 - changeProgress_), 1 - change);
}

}  // namespace tessaron::views
