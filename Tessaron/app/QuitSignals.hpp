#pragma once

#include <QObject>

class QSocketNotifier;

namespace tessaron::app {

// SIGTERM and SIGINT as a Qt signal: the handler only writes a byte to a
// socket pair, and the event loop turns it into quitRequested(), so that a
// terminate from outside goes through the same quit guard as the Quit item.
// Until the event loop has first run, nobody would read that byte, and a
// start-up stuck on something (a file that never answers) would ignore the
// signal for good: until then the signal ends the process as it would
// without a handler. Nothing runs yet that the guard would have to stop.
// One instance per process.
class QuitSignals : public QObject {
    Q_OBJECT
public:
    explicit QuitSignals(QObject* parent = nullptr);
    ~QuitSignals() override;

signals:
    void quitRequested();

private:
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace tessaron::app
