#include "services/TourSpotlightTracker.hpp"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

namespace tessaron::services {

TourSpotlightTracker::TourSpotlightTracker(QWidget& space, QObject* parent) : QObject(parent), space_(space) {
    connect(&TourAnchors::instance(), &TourAnchors::anchorsChanged, this, &TourSpotlightTracker::scheduleRefresh);
    // The space itself moving or resizing moves every frame in it.
    space_.installEventFilter(this);
}

void TourSpotlightTracker::setRoot(QWidget* root) {
    if (root_ == root) return;
    // Watching every widget's geometry costs a little on each event, so only
    // while there is a tree to watch.
    if (root_ == nullptr && root != nullptr) QCoreApplication::instance()->installEventFilter(this);
    if (root == nullptr) QCoreApplication::instance()->removeEventFilter(this);
    root_ = root;
    refresh();
}

void TourSpotlightTracker::refresh() {
    refreshPending_ = false;
    TourSpotlights collected = root_ ? TourAnchors::collect(*root_, space_) : TourSpotlights{};
    if (collected == spotlights_) return;
    spotlights_ = std::move(collected);
    emit spotlightsChanged();
}

void TourSpotlightTracker::scheduleRefresh() {
    if (refreshPending_) return;
    refreshPending_ = true;
    QTimer::singleShot(0, this, [this] {
        if (refreshPending_) refresh();
    });
}

bool TourSpotlightTracker::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::Show:
    case QEvent::Hide:
    case QEvent::ShowToParent:
    case QEvent::HideToParent:
    case QEvent::ParentChange:
    case QEvent::ChildRemoved:
        if (watched == &space_) {
            scheduleRefresh();
        } else if (root_ && watched->isWidgetType()) {
            auto* widget = static_cast<QWidget*>(watched);
            if (widget == root_ || root_->isAncestorOf(widget)) scheduleRefresh();
        }
        break;
    default: break;
    }
    return false;
}

}  // namespace tessaron::services
