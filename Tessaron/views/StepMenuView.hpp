#pragma once

#include <QPointer>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <optional>

#include "viewmodel/PipelineViewModel.hpp"
#include "viewmodel/WorkflowStep.hpp"
#include "views/FinalViewerState.hpp"

class QScrollArea;
class QVBoxLayout;

namespace tessaron::views {

// The left-hand pane of the main window: the selected step's panel. The
// Input step shows the input form as it is; every other step shows its
// panel in the shared frame inside a vertical scroll area. The menu owns
// the model importer, which "Open Model in Viewer..." (from any step) and
// the Final panel's open button ask for; a chosen model is shown by the
// Final step's viewer.
//
// Threads: the main thread only.
class StepMenuView : public QWidget {
    Q_OBJECT
public:
    // Asks the user for one splat file; none when cancelled or failed.
    using ModelImporter = std::function<std::optional<QUrl>(QWidget* parent)>;

    // `model` and `viewer` must outlive the menu.
    StepMenuView(viewmodel::PipelineViewModel& model, FinalViewerState& viewer, QWidget* parent = nullptr);

    viewmodel::WorkflowStep step() const { return step_; }
    // A new step replaces the panel; the same step keeps it.
    void setStep(viewmodel::WorkflowStep step);

    // The step's panel (the input form, or the panel inside the frame).
    QWidget* panel() const { return panel_; }
    // The scroll area around the framed panel; none for the Input step.
    QScrollArea* scrollArea() const { return scrollArea_; }

    // Whether the model importer is asked for. It opens once the menu is
    // shown and usable, and the flag clears when it closes.
    bool showFilePicker() const { return showFilePicker_; }
    void setShowFilePicker(bool show);
    void setModelImporter(ModelImporter importer) { importer_ = std::move(importer); }
    // The desktop's open panel, limited to .ply, .spz and .splat files.
    static ModelImporter standardImporter();

signals:
    // The importer set the viewer's model to `url`: the Final step shows it.
    void modelChosen(const QUrl& url);

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // The importer needs the menu on screen and usable.
    bool importerCanShow() const;
    void rebuild();
    void presentImporterWhenShown();
    void presentImporter();

    viewmodel::PipelineViewModel& model_;
    FinalViewerState& viewer_;
    ModelImporter importer_ = standardImporter();
    viewmodel::WorkflowStep step_ = viewmodel::WorkflowStep::input;
    bool showFilePicker_ = false;
    bool importerPending_ = false;
    QVBoxLayout* layout_;
    QPointer<QWidget> content_;
    QWidget* panel_ = nullptr;
    QScrollArea* scrollArea_ = nullptr;
};

}  // namespace tessaron::views
