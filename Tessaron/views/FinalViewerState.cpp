#include "views/FinalViewerState.hpp"

namespace tessaron::views {

void FinalViewerState::setUrl(const QUrl& url) {
    if (url == url_) return;
    url_ = url;
    emit urlChanged(url_);
}

void FinalViewerState::setOrbit(bool orbit) {
    if (orbit == orbit_) return;
    orbit_ = orbit;
    emit orbitChanged(orbit_);
}

void FinalViewerState::setShowStats(bool show) {
    if (show == showStats_) return;
    showStats_ = show;
    emit showStatsChanged(showStats_);
}

void FinalViewerState::setStats(const viewer::SplatViewerStats& stats) {
    stats_ = stats;
    emit statsChanged();
}

}  // namespace tessaron::views
