#pragma once

#include <QObject>
#include <QUrl>

#include "viewer/SplatViewerStats.hpp"

namespace tessaron::views {

// What the Final step's viewer shows and how, shared by the dashboard, the
// centre pane and the Final panel: the model chosen by a drop or the file
// importer (empty: the run's output), the orbit mode, whether statistics are
// shown, and the viewer's latest statistics.
//
// Threads: the main thread only.
class FinalViewerState : public QObject {
    Q_OBJECT
public:
    explicit FinalViewerState(QObject* parent = nullptr) : QObject(parent) {}

    QUrl url() const { return url_; }
    void setUrl(const QUrl& url);
    bool orbit() const { return orbit_; }
    void setOrbit(bool orbit);
    bool showStats() const { return showStats_; }
    void setShowStats(bool show);
    const viewer::SplatViewerStats& stats() const { return stats_; }
    void setStats(const viewer::SplatViewerStats& stats);

signals:
    void urlChanged(const QUrl& url);
    void orbitChanged(bool orbit);
    void showStatsChanged(bool show);
    void statsChanged();

private:
    QUrl url_;
    bool orbit_ = true;
    bool showStats_ = true;
    viewer::SplatViewerStats stats_;
};

}  // namespace tessaron::views
