#pragma once

// Drops as the desktop delivers them: the drag enters the widget, then the
// drop lands on it, with the dragged URLs as the data.

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QWidget>

#include <filesystem>

namespace tessaron::testing {

inline QUrl fileURL(const std::filesystem::path& path) {
    return QUrl::fromLocalFile(QString::fromStdString(path.string()));
}

struct DropResult {
    bool entered = false;  // the drag was accepted on entering
    bool dropped = false;  // the drop was accepted
};

inline DropResult dropURLs(QWidget* target, const QList<QUrl>& urls) {
    QMimeData data;
    data.setUrls(urls);
    const QPoint position = target->rect().center();
    QDragEnterEvent enter(position, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    DropResult result;
    result.entered = enter.isAccepted();
    if (!result.entered) return result;
    QDropEvent drop(QPointF(position), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    result.dropped = drop.isAccepted();
    return result;
}

}  // namespace tessaron::testing
