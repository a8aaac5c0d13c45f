#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

class QMouseEvent;
class QWidget;
class QWindow;

namespace tessaron::viewer {

// Qt's file dialogs complete a typed path in a popup list. On Linux a click
// outside that popup only closes it: the button it lands on (Open, Choose,
// Cancel) never sees it, and the user has to click again. Installed on a
// dialog, this lets such a click close the popup and reach the widget of
// the dialog it landed on, as one click. Clicks in the popup, and clicks
// outside the dialog, stay Qt's own.
//
// Threads: the main thread only.
class CompleterClickThrough : public QObject {
public:
    // Watches the completer popups of `dialog`'s children; lives as long as
    // the dialog.
    static void install(QWidget& dialog);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit CompleterClickThrough(QWidget& dialog);
    // Sends `mouse` to `target`, at the same place on the screen.
    static void pass(const QMouseEvent& mouse, QWidget& target);

    QWidget& dialog_;
    void stopWatching();

    // The widget a passed-on press went to: its moves and release follow it
    // there, taken from the windows they reach while the button is held.
    QPointer<QWidget> pressed_;
    QList<QPointer<QWindow>> watchedWindows_;
};

}  // namespace tessaron::viewer
