#pragma once

#include <QList>
#include <QMetaObject>
#include <QObject>
#include <QPointer>

#include <functional>

#include "views/ModelOperations.hpp"

class QAction;
class QMenu;
class QMenuBar;

#include "viewmodel/PipelineViewModel.hpp"

namespace tessaron::views {

// What the menus reach beyond the focused model: the support services and
// the application's own windows.
struct ApplicationActions {
    std::function<void()> sendFeedback;          // a feedback mail with no context
    std::function<void()> checkForUpdates;       // the manual check, which reports in its own alert
    std::function<void()> showAcknowledgements;  // the "acknowledgements" window
    std::function<void()> showSettings;
    std::function<void()> quit;                  // through the quit guard
};

// The menu bar of the main window: File, Engine, Window and Help. The
// model-bound items act on the focused model, the one the main window's
// dashboard publishes; without one they do nothing, "Cancel Pipeline" is
// disabled and "Full Diagnostics" reads off.
//
// Threads: the main thread only.
class TessaronCommands : public QObject {
    Q_OBJECT
public:
    TessaronCommands(QMenuBar& menuBar, ModelOperations operations, ApplicationActions actions,
                     QObject* parent = nullptr);

    void setFocusedModel(viewmodel::PipelineViewModel* model);
    viewmodel::PipelineViewModel* focusedModel() const { return focused_.data(); }

    // Re-reads the enabling states and the toggle from the focused model.
    void refresh();

    QMenu* fileMenu() const { return file_; }
    QMenu* engineMenu() const { return engine_; }
    QMenu* windowMenu() const { return window_; }
    QMenu* helpMenu() const { return help_; }
    QAction* cancelPipelineAction() const { return cancelPipeline_; }
    QAction* fullDiagnosticsAction() const { return fullDiagnostics_; }
    QAction* welcomeTourAction() const { return welcomeTour_; }

private:
    // Runs `operation` on the focused model when there is one.
    void withFocusedModel(const std::function<void(viewmodel::PipelineViewModel&)>& operation);

    ModelOperations operations_;
    ApplicationActions actions_;
    QPointer<viewmodel::PipelineViewModel> focused_;
    QList<QMetaObject::Connection> focusedConnections_;
    QMenu* file_;
    QMenu* engine_;
    QMenu* window_;
    QMenu* help_;
    QAction* cancelPipeline_ = nullptr;
    QAction* fullDiagnostics_ = nullptr;
    QAction* welcomeTour_ = nullptr;
};

}  // namespace tessaron::views
