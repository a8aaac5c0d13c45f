#include "views/FileManager.hpp"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QApplication>
#include <QUrl>

#include "services/DesktopOpener.hpp"

namespace tessaron::views {

void FileManager::openFolder(const std::filesystem::path& folder) {
    services::DesktopOpener::open(QUrl::fromLocalFile(QString::fromStdString(folder.string())),
                                  QApplication::activeWindow());
}

void FileManager::reveal(const std::filesystem::path& file, FolderOpener opener) {
    if (!opener) opener = &FileManager::openFolder;
    const std::filesystem::path folder = file.parent_path();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        opener(folder);
        return;
    }
    // Not asked whether the service runs: the bus starts an activatable one,
    // and answers at once with an error when there is none.
    QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(service), QString::fromLatin1(objectPath),
                                                       QString::fromLatin1(service), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(QString::fromStdString(file.string())).toString()} << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [watcher, opener = std::move(opener), folder] {
                         // A file manager that cannot show the file: its folder opens instead.
                         if (QDBusPendingReply<>(*watcher).isError()) opener(folder);
                         watcher->deleteLater();
                     });
}

}  // namespace tessaron::views
