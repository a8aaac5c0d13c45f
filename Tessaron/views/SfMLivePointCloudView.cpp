#include "views/SfMLivePointCloudView.hpp"

#include <QVBoxLayout>

#include "views/PointSceneWidget.hpp"

namespace tessaron::views {

SfMLivePointCloudView::SfMLivePointCloudView(QWidget* parent)
    : QWidget(parent), sceneWidget_(new PointSceneWidget(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(sceneWidget_);
    attachScene();
}

SfMLivePointCloudView::~SfMLivePointCloudView() = default;

void SfMLivePointCloudView::attachScene() {
    scene_ = std::make_unique<SfMLiveScene>();
    SfMLiveScene* scene = scene_.get();
    sceneWidget_->setCamera(&scene->camera());
    sceneWidget_->setFrameSource([scene](double now) { return scene->frameAt(now); },
                                 [scene](double now) { return scene->isAnimating(now); });
}

void SfMLivePointCloudView::setSnapshot(viewmodel::SnapshotPointer snapshot) {
    if (!snapshot) return;
    snapshot_ = std::move(snapshot);
    if (scene_->update(*snapshot_, sceneWidget_->now())) sceneWidget_->sceneChanged();
}

void SfMLivePointCloudView::reset() {
    attachScene();
    if (snapshot_) {
        scene_->update(*snapshot_, sceneWidget_->now());
        sceneWidget_->sceneChanged();
    }
}

}  // namespace tessaron::views
