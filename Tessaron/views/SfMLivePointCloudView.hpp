#pragma once

#include <QWidget>

#include <memory>

#include "viewmodel/PipelineViewModel.hpp"
#include "views/SfMLiveScene.hpp"

namespace tessaron::views {

class PointSceneWidget;

// The growing COLMAP cloud while structure from motion runs: the newest
// snapshot in 3D, its new points flashing cyan, the camera gliding to frame
// it. GUI thread only.
class SfMLivePointCloudView : public QWidget {
    Q_OBJECT
public:
    explicit SfMLivePointCloudView(QWidget* parent = nullptr);
    ~SfMLivePointCloudView() override;

    // Draws the snapshot unless it is the one drawn last; none: nothing changes.
    void setSnapshot(viewmodel::SnapshotPointer snapshot);
    // Starts again as a new view would: stride 1, nothing seen, so the next
    // snapshot flashes in full.
    void reset();

    const SfMLiveScene& scene() const { return *scene_; }
    PointSceneWidget& sceneWidget() const { return *sceneWidget_; }

private:
    void attachScene();

    PointSceneWidget* sceneWidget_;
    std::unique_ptr<SfMLiveScene> scene_;
    viewmodel::SnapshotPointer snapshot_;
};

}  // namespace tessaron::views
