#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include "services/TourAnchors.hpp"

namespace tessaron::services {

// Keeps the spotlight frames of one widget tree up to date: whenever a
// widget of the tree moves, resizes, appears or disappears, or a widget is
// marked, the frames are collected again on the next turn of the event loop
// (never inside the change that caused it), and a changed set is signalled.
// The frames follow the anchors as the window resizes, the panels slide and
// the forms scroll.
//
// Threads: the main thread only.
class TourSpotlightTracker : public QObject {
    Q_OBJECT
public:
    // Frames are measured in `space`'s coordinates.
    explicit TourSpotlightTracker(QWidget& space, QObject* parent = nullptr);

    // The tree to watch, or none.
    void setRoot(QWidget* root);
    const TourSpotlights& spotlights() const { return spotlights_; }
    // Collects at once.
    void refresh();

signals:
    void spotlightsChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void scheduleRefresh();

    QWidget& space_;
    QPointer<QWidget> root_;
    TourSpotlights spotlights_;
    bool refreshPending_ = false;
};

}  // namespace tessaron::services
