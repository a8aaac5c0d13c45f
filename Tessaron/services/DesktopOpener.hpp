#pragma once

#include <QString>
#include <QUrl>

class QWidget;

namespace tessaron::services {

// Hands a web address, a mail link or a folder to the desktop through
// xdg-open, and says so in a short message, with the address or the path,
// when nothing takes it: no xdg-open, or one that found no browser, mail
// program or file manager (it then ends with a status other than 0). QDesktopServices cannot tell: it reports
// success as soon as xdg-open has started.
//
// Threads: the main thread only; xdg-open runs as a child that nobody waits
// for, so a browser it keeps in the foreground holds nothing up.
class DesktopOpener {
public:
    // The message over `parent` (none: a window of its own) when nothing
    // opened `url`; a local file URL names a folder or file, any other a page.
    static void open(const QUrl& url, QWidget* parent = nullptr);

    // The message's texts: what did not open (a folder, a page, a mail
    // link), and what xdg-open gets (the path of a local file URL, else the
    // address).
    static QString failureMessage(const QUrl& url);
    static QString location(const QUrl& url);
    // Where it is, as the message shows it: the location, or a mail link's
    // recipient.
    static QString shownLocation(const QUrl& url);
    static bool isMailLink(const QUrl& url);

private:
    static void showFailure(const QUrl& url, QWidget* parent);
};

}  // namespace tessaron::services
