#pragma once

#include <QLabel>
#include <QWidget>

#include "viewmodel/PipelineViewModel.hpp"
#include "views/PanelWidgets.hpp"

namespace tessaron::views {

// The input form's drop zone: a dashed rounded box that takes a dropped
// folder of photos or video file, and names the chosen input.
class DropZoneView : public QWidget {
    Q_OBJECT
public:
    explicit DropZoneView(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);

    // A drag that the zone would take hovers over it.
    bool isTargeted() const { return isTargeted_; }
    QString headline() const { return headline_->text(); }
    QString caption() const { return caption_->text(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void refresh();
    void setTargeted(bool targeted);

    viewmodel::PipelineViewModel& model_;
    bool isTargeted_ = false;
    SymbolView* symbol_;
    QLabel* headline_;
    QLabel* caption_;
};

}  // namespace tessaron::views
