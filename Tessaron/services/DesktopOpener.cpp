#include "services/DesktopOpener.hpp"

#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>

namespace tessaron::services {

QString DesktopOpener::failureMessage(const QUrl& url) {
    if (url.isLocalFile()) return QStringLiteral("No file manager opened the folder");
    if (isMailLink(url)) return QStringLiteral("No mail program opened the mail link");
    return QStringLiteral("No web browser opened the page");
}

QString DesktopOpener::location(const QUrl& url) {
    return url.isLocalFile() ? url.toLocalFile() : url.toString(QUrl::FullyEncoded);
}

QString DesktopOpener::shownLocation(const QUrl& url) {
    // A mail link carries the whole message; the address is what helps.
    return isMailLink(url) ? url.path() : location(url);
}

bool DesktopOpener::isMailLink(const QUrl& url) {
    return url.scheme().compare(QLatin1String("mailto"), Qt::CaseInsensitive) == 0;
}

void DesktopOpener::open(const QUrl& url, QWidget* parent) {
    QPointer<QWidget> owner(parent);
    const QString program = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (program.isEmpty()) {
        showFailure(url, owner);
        return;
    }
    // Owned by the application: a window closed meanwhile does not end it.
    auto* opener = new QProcess(QCoreApplication::instance());
    opener->setStandardOutputFile(QProcess::nullDevice());
    opener->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QObject::connect(opener, &QProcess::errorOccurred, opener, [opener, url, owner](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart) return;
        showFailure(url, owner);
        opener->deleteLater();
    });
    QObject::connect(opener, &QProcess::finished, opener,
                     [opener, url, owner](int exitCode, QProcess::ExitStatus status) {
                         if (status != QProcess::NormalExit || exitCode != 0) showFailure(url, owner);
                         opener->deleteLater();
                     });
    opener->start(program, {location(url)});
}

void DesktopOpener::showFailure(const QUrl& url, QWidget* parent) {
    auto* message = new QMessageBox(QMessageBox::Information, QStringLiteral("Tessaron"), failureMessage(url),
                                    QMessageBox::Ok, parent);
    message->setTextFormat(Qt::PlainText);
    message->setInformativeText(shownLocation(url));
    // The path or address is there to be copied, never taken for markup.
    if (auto* details = message->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
        details->setTextFormat(Qt::PlainText);
        details->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    }
    message->setAttribute(Qt::WA_DeleteOnClose);
    message->setWindowModality(Qt::ApplicationModal);
    message->show();
}

}  // namespace tessaron::services
