#pragma once

#include <QWidget>

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

class QMimeData;

namespace tessaron::viewer {

class ConverterModel;

// The converter's drop and browse area: a dashed rounded rectangle that
// queues splat files dropped on it, and opens a file panel on a click.
// Disabled while a run is in progress. Main thread only.
class DropZone : public QWidget {
    Q_OBJECT

public:
    // Asks for files to queue; empty when the user cancels.
    using FileChooser = std::function<std::vector<std::filesystem::path>()>;

    explicit DropZone(std::shared_ptr<ConverterModel> model, QWidget* parent = nullptr);

    bool isTargeted() const noexcept { return isTargeted_; }
    // The default shows the modal file panel.
    void setFileChooser(FileChooser chooser) { chooseFiles_ = std::move(chooser); }

    // Queues every chosen file, whatever its extension.
    void browseForFiles();
    // Queues the dropped local files whose extension is a splat format's;
    // the drop is always accepted.
    bool handleDrop(const QMimeData& data);

    // Whether a dropped file's name makes it a splat file.
    static bool isAcceptedFile(const std::filesystem::path& file);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void setTargeted(bool targeted);

    std::shared_ptr<ConverterModel> model_;
    bool isTargeted_ = false;
    FileChooser chooseFiles_;
};

}  // namespace tessaron::viewer
