#pragma once

#include <QObject>

namespace tessaron::views {

// The application-wide notifications of the menu commands. They carry no
// object and no information; whoever listens connects to the signal.
class ApplicationNotifier : public QObject {
    Q_OBJECT
public:
    static ApplicationNotifier& instance();

    void postOpenModelViewer() { emit openModelViewer(); }
    void postStartWelcomeTour() { emit startWelcomeTour(); }

signals:
    // "Open Model in Viewer...": the step menu opens its model importer.
    void openModelViewer();
    // "Welcome Tour": the tour host restarts the tour unless a run is busy.
    void startWelcomeTour();
};

}  // namespace tessaron::views
