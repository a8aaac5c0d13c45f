#pragma once

#include <QImage>
#include <QWidget>

#include <filesystem>
#include <memory>
#include <optional>

#include "viewmodel/PipelineViewModel.hpp"
#include "viewmodel/SparseCloudLoader.hpp"
#include "views/PartitionScene.hpp"

namespace tessaron::views {

class PointSceneWidget;

// The COLMAP sparse cloud of the run seen from above, for the Planning and
// Training steps: coloured by the planner's live centroids while it works,
// by the plan's cells once there is a plan, with a label per cell; during
// training the cell being trained pulses and the others are dimmed. It
// follows the model's plan, planner progress and sparse folder; the cloud
// is read once per folder, off the GUI thread, by its SparseCloudLoader.
// GUI thread only.
class PartitionVisualizerView : public QWidget {
    Q_OBJECT
public:
    explicit PartitionVisualizerView(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);
    ~PartitionVisualizerView() override;

    // The trained cell: the view model's current cell less one (the k-th
    // trainable cell of the plan, from 0), or none.
    void setHighlightedCell(std::optional<int> index);
    // Starts again as a new view would: the cloud looked up again (read
    // anew when points3D.bin changed), no turn for a plan already present.
    void reset();

    const PartitionScene& scene() const { return *scene_; }
    PartitionScene& scene() { return *scene_; }
    PointSceneWidget& sceneWidget() const { return *sceneWidget_; }
    // Whether the cloud of the current folder is installed.
    bool isCloudInstalled() const { return scene_->isInstalled(); }

    // The plate of one cell label: white monospaced bold lines on a rounded
    // black plate with a border in the cell's colour.
    static QImage makeLabelImage(const std::vector<std::string>& lines, const RGBColor& color);

signals:
    // The cloud reached the scene.
    void cloudInstalled();

private:
    PartitionScene::Inputs currentInputs() const;
    void inputsChanged();
    void startScene();

    viewmodel::PipelineViewModel& model_;
    PointSceneWidget* sceneWidget_;
    std::unique_ptr<PartitionScene> scene_;
    std::optional<std::filesystem::path> sparseDir_;
    std::optional<int> highlightedCell_;
    // Each scene's load supersedes the one before, so a cloud read for a
    // scene that a reset replaced never reaches the new one.
    viewmodel::SparseCloudLoader cloudLoader_;
};

}  // namespace tessaron::views
