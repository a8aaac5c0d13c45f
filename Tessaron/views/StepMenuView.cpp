#include "views/StepMenuView.hpp"

#include <QEvent>
#include <QFileDialog>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

#include "viewer/CompleterClickThrough.hpp"
#include "views/ApplicationNotifier.hpp"
#include "views/FinalPanelView.hpp"
#include "views/InputView.hpp"
#include "views/PanelWidgets.hpp"
#include "views/PlanningPanelView.hpp"
#include "views/SfMPanelView.hpp"
#include "views/TrainingPanelView.hpp"

namespace tessaron::views {

using viewmodel::WorkflowStep;

StepMenuView::StepMenuView(viewmodel::PipelineViewModel& model, FinalViewerState& viewer, QWidget* parent)
    : QWidget(parent), model_(model), viewer_(viewer) {
    setAttribute(Qt::WA_TranslucentBackground);
    layout_ = new QVBoxLayout(this);
    layout_->setContentsMargins(0, 0, 0, 0);
    connect(&ApplicationNotifier::instance(), &ApplicationNotifier::openModelViewer, this,
            [this] { setShowFilePicker(true); });
    rebuild();
}

StepMenuView::ModelImporter StepMenuView::standardImporter() {
    return [](QWidget* parent) -> std::optional<QUrl> {
        QFileDialog panel(parent, QStringLiteral("Open Model"), QString(),
                          QStringLiteral("Splat models (*.ply *.spz *.splat *.PLY *.SPZ *.SPLAT);;All files (*)"));
        panel.setFileMode(QFileDialog::ExistingFile);
        viewer::CompleterClickThrough::install(panel);
        if (panel.exec() != QDialog::Accepted || panel.selectedUrls().isEmpty()) return std::nullopt;
        return panel.selectedUrls().constFirst();
    };
}

void StepMenuView::setStep(WorkflowStep step) {
    if (step == step_) return;
    step_ = step;
    rebuild();
}

void StepMenuView::rebuild() {
    // The old panel may be inside one of its own handlers (a button whose
    // operation changed the run's state): it goes once that has returned.
    if (content_) {
        content_->hide();
        layout_->removeWidget(content_);
        content_->deleteLater();
    }
    scrollArea_ = nullptr;
    QWidget* panel = nullptr;
    switch (step_) {
    case WorkflowStep::input: panel = new InputView(model_); break;
    case WorkflowStep::sfm: panel = new SfMPanelView(model_); break;
    case WorkflowStep::planning: panel = new PlanningPanelView(model_); break;
    case WorkflowStep::training: panel = new TrainingPanelView(model_); break;
    case WorkflowStep::final: {
        auto* final = new FinalPanelView(model_, viewer_);
        connect(final, &FinalPanelView::openModelRequested, this, [this] { setShowFilePicker(true); });
        panel = final;
        break;
    }
    }
    panel_ = panel;
    if (step_ == WorkflowStep::input) {
        panel->setParent(this);
        content_ = panel;
    } else {
        scrollArea_ = new QScrollArea(this);
        scrollArea_->setFrameShape(QFrame::NoFrame);
        scrollArea_->setWidgetResizable(true);
        scrollArea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        scrollArea_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        // The panel lies on the menu's material.
        scrollArea_->setAttribute(Qt::WA_TranslucentBackground);
        scrollArea_->viewport()->setAutoFillBackground(false);
        QWidget* frame = stepPanel(panel);
        scrollArea_->setWidget(frame);
        // setWidget() gives the frame a fill of its own, which would hide the material.
        frame->setAutoFillBackground(false);
        content_ = scrollArea_;
    }
    layout_->addWidget(content_);
    content_->show();
    presentImporterWhenShown();
}

void StepMenuView::setShowFilePicker(bool show) {
    showFilePicker_ = show;
    presentImporterWhenShown();
}

bool StepMenuView::importerCanShow() const {
    // From any step: the chosen model then brings the Final step. A hidden
    // menu, or the disabled one under the guided tour, keeps the request
    // until it is shown and usable again.
    return showFilePicker_ && isVisible() && isEnabled();
}

void StepMenuView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    presentImporterWhenShown();
}

void StepMenuView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::EnabledChange) presentImporterWhenShown();
}

void StepMenuView::presentImporterWhenShown() {
    if (!importerCanShow() || importerPending_) return;
    importerPending_ = true;
    // Presented from the event loop, never from inside the handler that asked.
    QTimer::singleShot(0, this, &StepMenuView::presentImporter);
}

void StepMenuView::presentImporter() {
    if (!importerCanShow() || !importer_) {
        importerPending_ = false;
        return;
    }
    QPointer<StepMenuView> self(this);
    const std::optional<QUrl> chosen = importer_(this);
    if (!self) return;
    importerPending_ = false;
    showFilePicker_ = false;
    if (!chosen || chosen->isEmpty()) return;
    viewer_.setUrl(*chosen);
    emit modelChosen(*chosen);
}

}  // namespace tessaron::views
