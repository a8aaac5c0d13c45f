#pragma once

#include <QObject>

class QSocketNotifier;

namespace tessaron::app {

// SIGTERM and SIGINT as a Qt signal: the handler only writes a byte to a
// socket pair, and the event loop turns it into quitRequested(), so that a
// terminate from outside goes through the same quit guard as the Quit item.
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
