#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include <QRectF>
#include <QWidget>

#include "viewmodel/PipelineViewModel.hpp"

class QLabel;
class QVariantAnimation;

namespace tessaron::views {

class FloatingPanel;

// The source frame and the crops appearing while a 360° video converts, with
// the counters of rig frames, crop images, the source frame and the progress.
// It draws the view model's conversionPreview, extractionCurrent and
// extractionTotal and keeps no state of its own beyond the tiles' appearing
// animation. Main thread only.
class Conversion360LiveView : public QWidget {
    Q_OBJECT
public:
    explicit Conversion360LiveView(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);

    // At most this many crop tiles are shown.
    static constexpr std::size_t maxTiles = 16;
    // The side of a crop tile in a view `availableWidth` wide, for a preview
    // of `cropCount` crops (all of them, not only those shown): at least 40.
    static double tileSide(double availableWidth, std::size_t cropCount);
    // The frame's width: half the available width, at most 620.
    static double frameWidth(double availableWidth);
    // The "Progress" counter's value in percent, the fraction's integer
    // part; none while the total is below 1.
    static std::optional<int64_t> progressPercent(int64_t current, int64_t total);

    // The part of the view that nothing covers; the content is laid out in
    // it while the backdrop fills the whole view. The whole view until set.
    void setFreeArea(const QRect& area);
    // How many tiles of `side` fit side by side in `width`; at least one.
    static std::size_t tilesPerRow(double width, double side);

    // Where the frame and the tiles are drawn; empty while no preview is
    // present.
    QRectF frameRect() const { return frameRect_; }
    const std::vector<QRectF>& tileRects() const { return tileRects_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void previewChanged();
    void refreshCounters();
    void layoutContent();

    viewmodel::PipelineViewModel& model_;
    viewmodel::ConversionPreviewPointer preview_;
    QWidget* starting_ = nullptr;
    FloatingPanel* counters_ = nullptr;
    QLabel* rigFrames_ = nullptr;
    QLabel* cropImages_ = nullptr;
    QLabel* sourceFrame_ = nullptr;
    QWidget* progressColumn_ = nullptr;
    QLabel* progress_ = nullptr;
    QRect freeArea_;
    QRectF frameRect_;
    std::vector<QRectF> tileRects_;
    // Tiles from this index on grow in as the animation runs from 0 to 1.
    std::size_t appearingFrom_ = 0;
    double appearing_ = 1;
    QVariantAnimation* appear_ = nullptr;
};

}  // namespace tessaron::views
