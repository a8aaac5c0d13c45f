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
class RollingNumberLabel;

// The source frame and the crops appearing while a 360° video converts, with
// the counters of rig frames, crop images, the source frame and the progress.
// It draws the view model's conversionPreview, extractionCurrent and
// extractionTotal and keeps no state of its own beyond the animation of its
// last change. Main thread only.
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
    // The tiles' and counters' change as drawn: 0 just changed … 1 settled,
    // and its spring; the tiles that are shrinking away.
    double changeProgress() const { return changeProgress_; }
    QVariantAnimation* changeAnimation() const { return change_; }
    std::size_t leavingTileCount() const { return leavingTiles_.size(); }
    // The counter labelled `label`'s value, as a rolling number.
    RollingNumberLabel* counterValue(const QString& label) const;

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
    RollingNumberLabel* rigFrames_ = nullptr;
    RollingNumberLabel* cropImages_ = nullptr;
    RollingNumberLabel* sourceFrame_ = nullptr;
    QWidget* progressColumn_ = nullptr;
    RollingNumberLabel* progress_ = nullptr;
    QRect freeArea_;
    QRectF frameRect_;
    std::vector<QRectF> tileRects_;
    // The last change of the preview, drawn as `changeProgress_` runs from
    // 0 to 1: tiles from `appearingFrom_` on grow in, `leavingTiles_` shrink
    // away, and the tiles before cross-fade from `previousCrops_`.
    struct LeavingTile {
        QRectF rect;
        QImage image;
    };
    std::size_t appearingFrom_ = 0;
    std::vector<LeavingTile> leavingTiles_;
    std::vector<QImage> previousCrops_;
    double changeProgress_ = 1;
    QVariantAnimation* change_ = nullptr;
};

}  // namespace tessaron::views
