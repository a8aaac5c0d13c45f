#pragma once

#include <optional>
#include <vector>

#include <QColor>
#include <QImage>
#include <QString>
#include <QWidget>

#include "input/CropLayout.hpp"
#include "input/EquirectProjector.hpp"
#include "viewmodel/PipelineViewModel.hpp"
#include "viewmodel/Inspector360Loader.hpp"

class QAbstractButton;
class QCheckBox;
class QLabel;
class QStackedWidget;

namespace tessaron::views {

// The 360° inspector: a modal panel over the window that shows how the
// chosen crop layout cuts the first frame of the chosen video — the crops as
// thumbnails, their footprints on the panorama and, with person masking on,
// the people masking would remove, tinted.
//
// It covers its parent: a dim backdrop (a click on it closes the panel) and
// the panel centred on it. It runs while the view model's show360Inspector
// is true, starting from its initial state each time that turns true, and
// renders again whenever the input, the layout preset or the mask mode
// changes; closing writes show360Inspector false. The owner shows and hides
// the widget with that flag.
//
// Threads: everything here is on the main thread; the rendering runs on the
// loader's workers, and only the newest request's result is shown.
class Inspector360View : public QWidget {
    Q_OBJECT
public:
    explicit Inspector360View(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);
    Inspector360View(viewmodel::PipelineViewModel& model, viewmodel::Inspector360Loader::Options options,
                     QWidget* parent = nullptr);
    ~Inspector360View() override;

    static constexpr int cropSize = 2048;
    static constexpr double fovDegrees = 100;
    static constexpr int maxPanelWidth = 1100;
    static constexpr int maxPanelHeight = 820;
    static constexpr int frameViewHeight = 260;

    // The 16 crop colours, indexed by crop index modulo 16; built once.
    static const std::vector<QColor>& cropPalette();
    static QColor cropColor(std::size_t cropIndex);
    // What starts a new rendering when it changes: the input's path, the
    // preset's and the mask mode's raw values, joined by "|".
    static QString loadKey(const viewmodel::PipelineViewModel& model);
    // A crop's border on the frame: bright and 2 wide when nothing or this
    // crop is selected, else faint and 1 wide.
    struct Stroke {
        QColor color;
        double width = 0;
    };
    static Stroke footprintStroke(std::size_t cropIndex, std::optional<int> selectedCrop);
    // "yaw Y° · pitch P°", each angle's fraction dropped.
    static QString cropCaption(const input::CropSpec& crop);

    // ---- The panel's state -------------------------------------------------
    const std::optional<QImage>& equirectImage() const { return equirectImage_; }
    const std::vector<QImage>& crops() const { return crops_; }
    const std::vector<std::optional<QImage>>& maskedCrops() const { return maskedCrops_; }
    const std::vector<std::vector<input::EquirectProjector::Polyline>>& footprints() const { return footprints_; }
    bool isLoading() const { return isLoading_; }
    const std::optional<QString>& loadError() const { return loadError_; }
    bool showMasks() const { return showMasks_; }
    std::optional<int> selectedCrop() const { return selectedCrop_; }
    // The current preset's crops, which the grid and the heading follow.
    const std::vector<input::CropSpec>& layoutCrops() const { return layout_.crops; }
    // What crop i's thumbnail shows: its masked image, the crop, or nothing
    // (the placeholder).
    const QImage* thumbnail(std::size_t cropIndex) const;

    // ---- Parts a user acts on ----------------------------------------------
    QWidget* panel() const { return panel_; }
    // The renderings' worker side, for watching them.
    viewmodel::Inspector360Loader& loader() { return loader_; }
    QWidget* cropGrid() const { return grid_; }
    QWidget* frameView() const { return frameView_; }
    // Crop i's cell in the grid's coordinates.
    QRect cropCellRect(std::size_t cropIndex) const;
    void toggleSelection(int cropIndex);
    // Closes the panel: show360Inspector false.
    void closePanel();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void buildPanel();
    void bindModel();
    void opened();
    void startLoad();
    void refreshHeader();
    void refreshLayout();
    void refreshBody();
    void published(const std::shared_ptr<const viewmodel::Inspector360Rendering>& rendering);
    void layoutPanel();

    viewmodel::PipelineViewModel& model_;
    viewmodel::Inspector360Loader loader_;
    input::CropLayout layout_;
    // The key of the rendering under way or shown; none while closed.
    std::optional<QString> loadedKey_;

    std::optional<QImage> equirectImage_;
    std::vector<QImage> crops_;
    std::vector<std::optional<QImage>> maskedCrops_;
    std::vector<std::vector<input::EquirectProjector::Polyline>> footprints_;
    bool isLoading_ = true;
    std::optional<QString> loadError_;
    bool showMasks_ = false;
    std::optional<int> selectedCrop_;

    QWidget* panel_ = nullptr;
    QLabel* status_ = nullptr;
    std::vector<QAbstractButton*> presetButtons_;
    QStackedWidget* body_ = nullptr;
    QLabel* errorText_ = nullptr;
    QLabel* frameHeading_ = nullptr;
    QWidget* frameView_ = nullptr;
    QCheckBox* showMasksSwitch_ = nullptr;
    QWidget* grid_ = nullptr;
};

}  // namespace tessaron::views
