#pragma once

#include <QLabel>
#include <QPushButton>
#include <QScrollArea>

#include "viewmodel/PipelineViewModel.hpp"

class QPropertyAnimation;

namespace tessaron::views {

class AdvancedSettingsView;
class DropZoneView;
class ModelSizeCard;
class ReconstructionCard;
class ResumePanel;
class SymbolLabel;
class Video360Card;

// The Input step's form: the drop zone and "Choose Folder or Video…", the
// reconstruction, 360° and model-size cards, the advanced settings, the
// ready line with what the run will not give COLMAP, "Start Pipeline", and the resume panel. It brings its own
// scroll area. Every control reads and writes the view model; every button
// calls one of its operations.
class InputView : public QScrollArea {
    Q_OBJECT
public:
    explicit InputView(viewmodel::PipelineViewModel& model, QWidget* parent = nullptr);

    DropZoneView* dropZone() const { return dropZone_; }
    QPushButton* chooseButton() const { return choose_; }
    ReconstructionCard* reconstruction() const { return reconstruction_; }
    Video360Card* video360() const { return video360_; }
    ModelSizeCard* modelSize() const { return modelSize_; }
    AdvancedSettingsView* advancedSettings() const { return advanced_; }
    SymbolLabel* readyLine() const { return ready_; }
    QLabel* photoWarning() const { return photoWarning_; }
    QPushButton* startButton() const { return start_; }
    ResumePanel* resumePanel() const { return resume_; }

    // Scrolls the section whose tour name is `target` to the middle, when it
    // is shown.
    void scrollToSection(const QString& target);
    // Scrolls the resume card, at the form's foot, wholly into view (its
    // top first when it is taller than the view), once the form is laid out.
    void revealResumePanel();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void refresh();
    void scrollResumeIntoView();

    viewmodel::PipelineViewModel& model_;
    DropZoneView* dropZone_;
    QPushButton* choose_;
    ReconstructionCard* reconstruction_;
    Video360Card* video360_;
    ModelSizeCard* modelSize_;
    AdvancedSettingsView* advanced_;
    QWidget* readyRow_;
    SymbolLabel* ready_;
    QLabel* photoWarning_;
    QPushButton* start_;
    QWidget* resumeDivider_;
    ResumePanel* resume_;
    QPropertyAnimation* scroll_;
    bool resumeRevealPending_ = false;
};

}  // namespace tessaron::views
