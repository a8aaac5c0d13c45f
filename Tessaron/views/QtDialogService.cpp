#include "views/QtDialogService.hpp"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>

namespace tessaron::views {

namespace {

std::filesystem::path toPath(const QString& path) { return std::filesystem::path(path.toStdString()); }

QString startFolderOf(const std::optional<std::filesystem::path>& folder) {
    return folder ? QString::fromStdString(folder->string()) : QString();
}

}  // namespace

std::optional<std::filesystem::path> QtDialogService::open(const OpenRequest& request) {
    QFileDialog dialog(parent_, request.title, startFolderOf(request.startFolder));
    // The desktop's dialogs cannot offer files and folders in one panel, and
    // the message has no place in them.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (request.canChooseFiles && request.canChooseFolders) {
        // Any existing item: a typed name is checked below.
        dialog.setFileMode(QFileDialog::AnyFile);
    } else if (request.canChooseFiles) {
        dialog.setFileMode(QFileDialog::ExistingFile);
    } else {
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly, true);
    }
    dialog.setOption(QFileDialog::ReadOnly, !request.canCreateFolders);
    if (request.canChooseFiles && !request.fileTypes.isEmpty()) dialog.setMimeTypeFilters(request.fileTypes);
    if (!request.prompt.isEmpty()) dialog.setLabelText(QFileDialog::Accept, request.prompt);
    if (!request.message.isEmpty()) dialog.setLabelText(QFileDialog::LookIn, request.message);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    const QString chosen = dialog.selectedFiles().constFirst();
    if (!QFileInfo::exists(chosen)) return std::nullopt;
    return toPath(chosen);
}

std::optional<std::filesystem::path> QtDialogService::save(const SaveRequest& request) {
    QFileDialog dialog(parent_, request.title, startFolderOf(request.startFolder));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.selectFile(request.suggestedName);
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
