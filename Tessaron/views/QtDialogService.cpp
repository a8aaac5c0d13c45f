#include "views/QtDialogService.hpp"

#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

#include "viewer/CompleterClickThrough.hpp"
#include "views/OpenPanel.hpp"

namespace tessaron::views {

namespace {

std::filesystem::path toPath(const QString& path) { return std::filesystem::path(path.toStdString()); }

QString startFolderOf(const std::optional<std::filesystem::path>& folder) {
    return folder ? QString::fromStdString(folder->string()) : QString();
}

}  // namespace

std::optional<std::filesystem::path> QtDialogService::open(const OpenRequest& request) {
    OpenPanel panel(request, parent_);
    if (panel.exec() != QDialog::Accepted) return std::nullopt;
    return panel.chosen();
}

std::optional<std::filesystem::path> QtDialogService::save(const SaveRequest& request) {
    QFileDialog dialog(parent_, request.title, startFolderOf(request.startFolder));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.selectFile(request.suggestedName);
    viewer::CompleterClickThrough::install(dialog);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return toPath(dialog.selectedFiles().constFirst());
}

bool QtDialogService::confirm(const QString& title, const QString& text, const QString& confirmLabel) {
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::NoButton, parent_);
    QPushButton* confirmButton = box.addButton(confirmLabel, QMessageBox::AcceptRole);
    box.addButton(QMessageBox::Cancel);
    box.exec();
    return box.clickedButton() == confirmButton;
}

void QtDialogService::message(const QString& title, const QString& text) {
    QMessageBox box(QMessageBox::Information, title, text, QMessageBox::Ok, parent_);
    box.exec();
}

}  // namespace tessaron::views
