#pragma once

#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <filesystem>
#include <functional>
#include <optional>
#include <set>

#include "viewmodel/PipelineViewModel.hpp"
#include "viewmodel/WorkflowStep.hpp"
#include "views/FinalViewerState.hpp"

class QLabel;
class QMimeData;

namespace tessaron::viewer {
class SplatRendererView;
}

namespace tessaron::views {

class FloatingPanel;
class PresenceTransition;

// The large pane behind the step menu and the step bar: one picture per
// step (the drop hint or the live 360° conversion, the growing COLMAP cloud,
// the partition plan, the splat viewer with the result), and the window's
// drop target. A dropped model opens in the viewer, also during a run; a
// dropped folder or video becomes the input; any other drop, and a dataset
// dropped while a run is busy, gets a short hint at the bottom that goes by
// itself.
//
// Threads: the main thread only.
class StepBackgroundView : public QWidget {
    Q_OBJECT
public:
    // What a dropped file is.
    enum class DropKind { model, folder, video, other };
    // What the pane shows for its step and the run's state.
    enum class Content { conversion360, inputBackdrop, sfmLive, sfmAnimation, partition, message, viewer };

    static constexpr int hintMilliseconds = 2500;
    static inline const QString dropText =
        QStringLiteral("Drop a 3D model to view \u2014 datasets load into the Input step");
    static inline const QString busyHint =
        QStringLiteral("A run is in progress \u2014 cancel it before loading a new dataset.");
    static inline const QString otherHint =
        QStringLiteral("Drop a 3D model (.ply / .spz / .splat) to view \u2014 or a dataset folder / video to train.");

    // `model` and `viewer` must outlive the pane.
    StepBackgroundView(viewmodel::PipelineViewModel& model, FinalViewerState& viewer, QWidget* parent = nullptr);
    ~StepBackgroundView() override;

    viewmodel::WorkflowStep step() const { return step_; }
    void setStep(viewmodel::WorkflowStep step);

    // A dropped .ply, .spz or .splat file.
    std::function<void(const QUrl&)> onModelDropped;
    // A dropped folder (isVideo false) or video file.
    std::function<void(const std::filesystem::path&, bool isVideo)> onDatasetDropped;

    // "ply", "spz", "splat".
    static const std::set<QString>& modelExtensions();
    static DropKind classify(const QUrl& url);
    // The cell the training step highlights, counted from 0: none below two
    // cells or before the first cell.
    static std::optional<int> trainingHighlight(qint64 totalCells, qint64 currentCellIndex);
    // The Final viewer's file: the chosen model, else the run's output.
    static std::optional<std::filesystem::path> modelFile(const QUrl& chosen, const viewmodel::OptionalText& output);

    // What is shown, for the window's tests and screenshots.
    Content contentKind() const { return contentKind_; }
    QWidget* content() const { return content_; }
    // The centred message, empty when another content shows.
    QString message() const;
    bool isDropTargeted() const { return dropTargeted_; }
    QWidget* dropFrame() const;
    std::optional<QString> transientHint() const { return transientHint_; }
    QWidget* hintCapsule() const;
    PresenceTransition* hintTransition() const { return hintTransition_; }
    std::optional<QString> viewerError() const { return viewerError_; }
    QWidget* viewerErrorBadge() const;
    viewer::SplatRendererView* viewerView() const;

    void showTransientHint(const QString& message);

    // The part of the pane that the floating step menu leaves free: the
    // messages, the hints and the live 360° conversion are centred in it, so
    // that the menu never covers them. The whole pane until it is set.
    void setFreeArea(const QRect& area);
    QRect freeArea() const;
    // True while the content is one of the black 3D pictures, over which the
    // window's floating controls need their light-on-dark colours.
    bool showsDarkContent() const;

    // The drop target's steps, also for drags that reach the window over
    // another layer: true when the drag (or drop) is taken.
    bool dragEntered(const QMimeData* data);
    void dragLeft();
    bool dropped(const QMimeData* data);

signals:
    // The content was replaced by another kind.
    void contentChanged();

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    class Backdrop;
    class DropFrame;
    class MessageCapsule;

    Content wantedContent() const;
    void refresh();
    void replaceContent(Content kind);
    void refreshContent();
    void refreshViewer();
    void setViewerError(std::optional<QString> error);
    void setDropTargeted(bool targeted);
    void classifyDrop(const QUrl& url);
    void layoutOverlays();
    void layoutContent();

    viewmodel::PipelineViewModel& model_;
    FinalViewerState& viewer_;
    viewmodel::WorkflowStep step_ = viewmodel::WorkflowStep::input;
    Content contentKind_ = Content::inputBackdrop;
    QWidget* content_ = nullptr;
    QLabel* message_ = nullptr;
    bool dropTargeted_ = false;
    std::optional<QString> viewerError_;
    std::optional<std::filesystem::path> shownModel_;
    std::optional<QRect> freeArea_;
    std::optional<QString> transientHint_;
    QTimer hintDismiss_;
    DropFrame* dropFrame_ = nullptr;
    MessageCapsule* hint_ = nullptr;
    PresenceTransition* hintTransition_ = nullptr;
    FloatingPanel* errorBadge_ = nullptr;
    QLabel* errorText_ = nullptr;
};

}  // namespace tessaron::views
