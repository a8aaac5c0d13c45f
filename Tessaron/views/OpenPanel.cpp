#include "views/OpenPanel.hpp"

#include <QAbstractItemView>
#include <QDialogButtonBox>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMimeDatabase>
#include <QPushButton>

#include <algorithm>
#include <vector>

#include "viewer/CompleterClickThrough.hpp"
#include "views/Theme.hpp"

namespace tessaron::views {

namespace {

QString nativePath(const QString& path) { return QDir::toNativeSeparators(path); }

// Puts `widget` above everything the dialog's grid holds, across its width.
void addAboveAll(QGridLayout& grid, QWidget* widget) {
    struct Placed {
        QLayoutItem* item;
        int row, column, rowSpan, columnSpan;
    };
    std::vector<Placed> placed;
    while (grid.count() > 0) {
        Placed entry{};
        grid.getItemPosition(0, &entry.row, &entry.column, &entry.rowSpan, &entry.columnSpan);
        entry.item = grid.takeAt(0);
        placed.push_back(entry);
    }
    for (const Placed& entry : placed)
        grid.addItem(entry.item, entry.row + 1, entry.column, entry.rowSpan, entry.columnSpan, entry.item->alignment());
    grid.addWidget(widget, 0, 0, 1, std::max(1, grid.columnCount()));
}

}  // namespace

OpenPanel::OpenPanel(viewmodel::DialogService::OpenRequest request, QWidget* parent)
    : QFileDialog(parent), request_(std::move(request)) {
    setWindowTitle(request_.title);
    // The desktop's dialogs cannot offer files and folders in one panel, and
    // the message has no place in them.
    setOption(QFileDialog::DontUseNativeDialog, true);
    setAcceptMode(QFileDialog::AcceptOpen);
    // With no folder of its own the panel opens at home, not in whatever
    // folder the application happened to be started from.
    setDirectory(request_.startFolder ? QString::fromStdString(request_.startFolder->string()) : QDir::homePath());
    const bool folders = request_.canChooseFolders || !request_.canChooseFiles;
    if (request_.canChooseFiles && folders) {
        // Lists files and folders; what a confirmation takes is decided in accept().
        setFileMode(QFileDialog::AnyFile);
    } else if (request_.canChooseFiles) {
        setFileMode(QFileDialog::ExistingFile);
    } else {
        setFileMode(QFileDialog::Directory);
        setOption(QFileDialog::ShowDirsOnly, true);
    }
    setOption(QFileDialog::ReadOnly, !request_.canCreateFolders);
    if (request_.canChooseFiles && !request_.fileTypes.isEmpty()) {
        const QString name = request_.fileTypesName.isEmpty() ? QStringLiteral("Files") : request_.fileTypesName;
        setNameFilters({name + QStringLiteral(" (") + namePatterns(request_.fileTypes).join(QLatin1Char(' ')) +
                            QLatin1Char(')'),
                        QStringLiteral("All files (*)")});
        // Dozens of patterns would make the list as wide as the screen.
        setOption(QFileDialog::HideNameFilterDetails, true);
    }
    if (!request_.prompt.isEmpty()) setLabelText(QFileDialog::Accept, request_.prompt);

    nameField_ = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    if (auto* buttons = findChild<QDialogButtonBox*>(QStringLiteral("buttonBox")))
        openButton_ = buttons->button(QDialogButtonBox::Open);
    auto* grid = qobject_cast<QGridLayout*>(layout());

    refusal_ = new QLabel(this);
    refusal_->setObjectName(QStringLiteral("refusal"));
    refusal_->setWordWrap(true);
    QPalette red = refusal_->palette();
    red.setColor(QPalette::WindowText, theme::color(theme::NamedColor::red));
    refusal_->setPalette(red);
    refusal_->hide();
    if (grid) grid->addWidget(refusal_, grid->rowCount(), 0, 1, std::max(1, grid->columnCount()));

    if (!request_.message.isEmpty()) {
        auto* message = new QLabel(request_.message, this);
        message->setObjectName(QStringLiteral("message"));
        message->setWordWrap(true);
        if (grid)
            addAboveAll(*grid, message);
        else
            setLabelText(QFileDialog::LookIn, request_.message);
    }

    // Qt turns Open off for a folder in a panel that takes files, and for a
    // typed name it cannot find; this panel answers both in accept().
    if (openButton_) {
        openButton_->installEventFilter(this);
        openButton_->setEnabled(true);
    }
    // What Open takes follows where the user last worked: the name field
    // or the list. Qt's own selection cannot tell: typing a path in another
    // folder selects that path's parents in the list as well.
    if (nameField_) nameField_->installEventFilter(this);
    for (const char* name : {"listView", "treeView"})
        if (auto* view = findChild<QAbstractItemView*>(QLatin1String(name))) {
            views_.push_back(view);
            view->installEventFilter(this);
            view->viewport()->installEventFilter(this);
        }
    // A refusal stands until the user changes the choice.
    if (nameField_) connect(nameField_, &QLineEdit::textChanged, this, [this] { showMessage({}); });
    connect(this, &QFileDialog::currentChanged, this, [this] { showMessage({}); });
    connect(this, &QFileDialog::directoryEntered, this, [this] { showMessage({}); });
    // One click on Open after typing a path, not one to close the completion list first.
    viewer::CompleterClickThrough::install(*this);
}

QString OpenPanel::refusal() const { return refusal_->isHidden() ? QString() : refusal_->text(); }

bool OpenPanel::isOfTypes(const QString& file, const QStringList& mimeTypes) {
    if (mimeTypes.isEmpty()) return true;
    const QMimeType type = QMimeDatabase().mimeTypeForFile(file);
    return std::any_of(mimeTypes.begin(), mimeTypes.end(), [&](const QString& wanted) {
        if (wanted.endsWith(QLatin1String("/*"))) return type.name().startsWith(wanted.chopped(1));
        return type.inherits(wanted);
    });
}

QStringList OpenPanel::namePatterns(const QStringList& mimeTypes) {
    const QMimeDatabase database;
    QStringList patterns;
    for (const QString& wanted : mimeTypes) {
        if (wanted.endsWith(QLatin1String("/*"))) {
            const QString family = wanted.chopped(1);
            for (const QMimeType& type : database.allMimeTypes())
                if (type.name().startsWith(family)) patterns += type.globPatterns();
        } else {
            patterns += database.mimeTypeForName(wanted).globPatterns();
        }
    }
    patterns.sort();
    patterns.removeDuplicates();
    return patterns;
}

void OpenPanel::accept() {
    // Qt's own step up, typed as "..".
    if (nameField_ && nameField_->text() == QLatin1String("..")) {
        QFileDialog::accept();
        return;
    }
    const QString path = currentChoice();
    const QFileInfo item(path);
    const bool takesFolders = request_.canChooseFolders || !request_.canChooseFiles;

    if (item.isDir()) {
        if (takesFolders) return take(path);
        // A panel for files only walks into it.
        setDirectory(path);
        if (nameField_) nameField_->clear();
        return;
    }
    if (item.exists()) {
        if (!request_.canChooseFiles)
            return refuse(QStringLiteral("\u201c%1\u201d is a file. Choose a folder.").arg(item.fileName()));
        if (!isOfTypes(path, request_.fileTypes)) {
            const QString reason = request_.wrongTypeMessage.isEmpty()
                                       ? QStringLiteral("\u201c%1\u201d is not a file this panel can open.")
                                       : request_.wrongTypeMessage;
            return refuse(reason.arg(item.fileName()));
        }
        return take(path);
    }
    if (request_.canCreateFolders && !request_.canChooseFiles) {
        // One new folder in an existing one, as the panel's New Folder
        // makes: a mistyped parent is not made along with it.
        const QString parent = item.absolutePath();
        if (!QFileInfo(parent).isDir())
            return refuse(QStringLiteral("There is no folder \u201c%1\u201d to make \u201c%2\u201d in.")
                              .arg(nativePath(parent), item.fileName()));
        if (!QDir().mkdir(path))
            return refuse(QStringLiteral("Could not create the folder \u201c%1\u201d.").arg(nativePath(path)));
        return take(path);
    }
    refuse(QStringLiteral("\u201c%1\u201d does not exist.").arg(nativePath(path)));
}

QString OpenPanel::currentChoice() const {
    if (lastInput_ == Input::list && lastView_) {
        const QModelIndex current = lastView_->currentIndex();
        if (current.isValid() && lastView_->selectionModel()->isSelected(current))
            return QDir::cleanPath(current.data(QFileSystemModel::FilePathRole).toString());
        return directory().absolutePath();
    }
    QString typed = nameField_ ? nameField_->text() : QString();
    if (typed.isEmpty()) return directory().absolutePath();
    // "~" as a shell reads it.
    if (typed == QLatin1String("~") || typed.startsWith(QLatin1String("~/"))) typed = QDir::homePath() + typed.mid(1);
    return QDir::cleanPath(directory().absoluteFilePath(typed));
}

bool OpenPanel::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::EnabledChange:
        if (watched == openButton_ && !openButton_->isEnabled()) openButton_->setEnabled(true);
        break;
    case QEvent::KeyPress:
        if (watched == nameField_) lastInput_ = Input::typed;
        if (auto* view = qobject_cast<QAbstractItemView*>(watched); view && views_.contains(view)) {
            lastInput_ = Input::list;
            lastView_ = view;
        }
        break;
    case QEvent::MouseButtonPress:
        for (QAbstractItemView* view : views_)
            if (watched == view->viewport()) {
                lastInput_ = Input::list;
                lastView_ = view;
            }
        break;
    default: break;
    }
    return QFileDialog::eventFilter(watched, event);
}

void OpenPanel::take(const QString& path) {
    chosen_ = std::filesystem::path(path.toStdString());
    // Past Qt's own accept(), which would walk into a folder instead.
    QDialog::accept();
}

void OpenPanel::refuse(const QString& reason) {
    showMessage(reason);
    if (nameField_) nameField_->setFocus();
}

void OpenPanel::showMessage(const QString& message) {
    refusal_->setText(message);
    refusal_->setVisible(!message.isEmpty());
}

}  // namespace tessaron::views
