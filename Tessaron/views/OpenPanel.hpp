#pragma once

#include <QFileDialog>
#include <QList>
#include <QString>
#include <QStringList>

#include <filesystem>
#include <optional>

#include "viewmodel/DialogService.hpp"

class QAbstractItemView;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tessaron::views {

// The open panel for one item, on Qt's own file dialog. Qt's dialog only
// walks into a folder when the user confirms one (selected, or typed and
// confirmed with Return) in a panel that also takes files, and it closes
// on a file of any type. This panel takes what the request allows:
// - a folder, selected in the list or typed, when folders may be chosen;
//   with nothing selected or typed, the folder it shows;
// - a file of the request's types, when files may be chosen;
// - a typed folder that does not exist yet, created in an existing folder,
//   when folders may be created and files may not be chosen.
// Anything else is refused with a line that says why, and the panel stays
// open. A double click or Return in the list still walks into a folder.
//
// Threads: the main thread only.
class OpenPanel : public QFileDialog {
    Q_OBJECT
public:
    explicit OpenPanel(viewmodel::DialogService::OpenRequest request, QWidget* parent = nullptr);

    // The item taken; none until the panel was confirmed with one.
    const std::optional<std::filesystem::path>& chosen() const { return chosen_; }
    // Why the last confirmation was refused; empty when nothing is refused
    // or the user has changed the choice since.
    QString refusal() const;

    // The dialog's parts that a user types into and confirms with.
    QLineEdit* nameField() const { return nameField_; }
    QPushButton* openButton() const { return openButton_; }

    // Whether `file` is of one of `mimeTypes` ("video/*" names a family);
    // any file is when the list is empty.
    static bool isOfTypes(const QString& file, const QStringList& mimeTypes);
    // The file-name patterns of `mimeTypes`, sorted, each once.
    static QStringList namePatterns(const QStringList& mimeTypes);

public slots:
    void accept() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class Input { typed, list };

    // The item a confirmation now means: the one selected in the list when
    // the user last worked there, else the typed one (against the folder
    // shown); with neither, the folder shown.
    QString currentChoice() const;
    void take(const QString& path);
    void refuse(const QString& reason);
    void showMessage(const QString& message);

    viewmodel::DialogService::OpenRequest request_;
    QLineEdit* nameField_ = nullptr;
    QPushButton* openButton_ = nullptr;
    QLabel* refusal_ = nullptr;
    QList<QAbstractItemView*> views_;
    Input lastInput_ = Input::typed;
    QAbstractItemView* lastView_ = nullptr;
    std::optional<std::filesystem::path> chosen_;
};

}  // namespace tessaron::views
