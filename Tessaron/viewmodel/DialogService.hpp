#pragma once

#include <filesystem>
#include <optional>

#include <QString>
#include <QStringList>

namespace tessaron::viewmodel {

// The panels and alerts the view model's operations show. The application
// puts the desktop's own in place; tests put a scripted one, so that an
// operation's questions and the user's answers are part of the test.
//
// Threads: called on the main thread only; each call blocks until the user
// answers.
class DialogService {
public:
    // An open panel for one item.
    struct OpenRequest {
        QString title;
        QString message;
        QString prompt;  // the confirming button; empty: the desktop's own
        bool canChooseFiles = false;
        bool canChooseFolders = true;
        bool canCreateFolders = false;
        std::optional<std::filesystem::path> startFolder;
        // MIME types of the files offered ("video/*" for a whole family);
        // empty: any file.
        QStringList fileTypes;
        // The panel's name for those files ("Videos").
        QString fileTypesName;
        // Why a file of another type is refused; "%1" is the file's name.
        QString wrongTypeMessage;
    };
    // A save panel for one new file.
    struct SaveRequest {
        QString title;
        QString message;
        QString suggestedName;
        std::optional<std::filesystem::path> startFolder;
    };

    virtual ~DialogService() = default;

    // The chosen item; none when the user cancelled.
    virtual std::optional<std::filesystem::path> open(const OpenRequest& request) = 0;
    virtual std::optional<std::filesystem::path> save(const SaveRequest& request) = 0;
    // True when the user chose `confirmLabel`.
    virtual bool confirm(const QString& title, const QString& text, const QString& confirmLabel) = 0;
    virtual void message(const QString& title, const QString& text) = 0;
};

}  // namespace tessaron::viewmodel
