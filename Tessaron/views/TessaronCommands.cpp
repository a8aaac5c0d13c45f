#include "views/TessaronCommands.hpp"

#include <QAction>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>

#include "viewmodel/PipelineViewModel.hpp"
#include "views/ApplicationNotifier.hpp"

namespace tessaron::views {
namespace {

using viewmodel::PipelineViewModel;

QAction* addItem(QMenu* menu, const QString& title, const QKeySequence& shortcut = {}) {
    QAction* action = menu->addAction(title);
    if (!shortcut.isEmpty()) action->setShortcut(shortcut);
    return action;
}

void call(const std::function<void()>& action) {
    if (action) action();
}

}  // namespace

TessaronCommands::TessaronCommands(QMenuBar& menuBar, ModelOperations operations, ApplicationActions actions,
                                   QObject* parent)
    : QObject(parent), operations_(std::move(operations)), actions_(std::move(actions)) {
    file_ = menuBar.addMenu(QStringLiteral("&File"));
    connect(addItem(file_, QStringLiteral("Start New Pipeline..."), QKeySequence(QStringLiteral("Ctrl+Shift+N"))),
            &QAction::triggered, this, [this] { withFocusedModel(operations_.startNewRun); });
    connect(addItem(file_, QStringLiteral("Open Model in Viewer..."), QKeySequence(QStringLiteral("Ctrl+O"))),
            &QAction::triggered, this, [] { ApplicationNotifier::instance().postOpenModelViewer(); });
    file_->addSeparator();
    connect(addItem(file_, QStringLiteral("Re-merge Existing Cells...")), &QAction::triggered, this,
            [this] { withFocusedModel(operations_.startRemerge); });
    connect(addItem(file_, QStringLiteral("Resume Interrupted Training...")), &QAction::triggered, this,
            [this] { withFocusedModel(operations_.selectResumeWorkspace); });
    file_->addSeparator();
    QAction* settings = addItem(file_, QStringLiteral("Settings…"), QKeySequence(QStringLiteral("Ctrl+,")));
    settings->setMenuRole(QAction::PreferencesRole);
    connect(settings, &QAction::triggered, this, [this] { call(actions_.showSettings); });
    file_->addSeparator();
    QAction* quit = addItem(file_, QStringLiteral("Quit"), QKeySequence(QStringLiteral("Ctrl+Q")));
    quit->setMenuRole(QAction::QuitRole);
    connect(quit, &QAction::triggered, this, [this] { call(actions_.quit); });

    engine_ = menuBar.addMenu(QStringLiteral("&Engine"));
    fullDiagnostics_ = addItem(engine_, QStringLiteral("Full Diagnostics"));
    fullDiagnostics_->setCheckable(true);
    connect(fullDiagnostics_, &QAction::triggered, this, [this](bool checked) {
        if (focused_)
            focused_->setDiagnosticsEnabled(checked);
        else
            refresh();  // no model: the toggle stays off
    });
    cancelPipeline_ = addItem(engine_, QStringLiteral("Cancel Pipeline"), QKeySequence(QStringLiteral("Ctrl+.")));
    connect(cancelPipeline_, &QAction::triggered, this, [this] {
        // The shortcut may come in after the run ended; only a busy model cancels.
        if (focused_ && focused_->isBusy()) withFocusedModel(operations_.cancelRun);
    });

    window_ = menuBar.addMenu(QStringLiteral("&Window"));
    connect(addItem(window_, QStringLiteral("Toggle Log Drawer"), QKeySequence(QStringLiteral("Ctrl+Shift+L"))),
            &QAction::triggered, this, [this] {
                withFocusedModel([](PipelineViewModel& model) { model.setIsLogMenuExpanded(!model.isLogMenuExpanded()); });
            });

    help_ = menuBar.addMenu(QStringLiteral("&Help"));
    connect(addItem(help_, QStringLiteral("Send Feedback…")), &QAction::triggered, this,
            [this] { call(actions_.sendFeedback); });
    connect(addItem(help_, QStringLiteral("Check for Updates…")), &QAction::triggered, this,
            [this] { call(actions_.checkForUpdates); });
    welcomeTour_ = addItem(help_, QStringLiteral("Welcome Tour"));
    connect(welcomeTour_, &QAction::triggered, this, [] { ApplicationNotifier::instance().postStartWelcomeTour(); });
    help_->addSeparator();
    connect(addItem(help_, QStringLiteral("Acknowledgements")), &QAction::triggered, this,
            [this] { call(actions_.showAcknowledgements); });

    for (QMenu* menu : {file_, engine_, window_, help_}) connect(menu, &QMenu::aboutToShow, this, &TessaronCommands::refresh);
    refresh();
}

void TessaronCommands::setFocusedModel(PipelineViewModel* model) {
    if (focused_.data() == model) return;
    for (const auto& connection : focusedConnections_) disconnect(connection);
    focusedConnections_.clear();
    focused_ = model;
    if (model) {
        focusedConnections_.append(connect(model, &PipelineViewModel::isBusyChanged, this, &TessaronCommands::refresh));
        focusedConnections_.append(
            connect(model, &PipelineViewModel::diagnosticsEnabledChanged, this, &TessaronCommands::refresh));
    }
    refresh();
}

void TessaronCommands::refresh() {
    const bool busy = focused_ && focused_->isBusy();
    cancelPipeline_->setEnabled(busy);
    welcomeTour_->setEnabled(!busy);
    fullDiagnostics_->setChecked(focused_ && focused_->diagnosticsEnabled());
}

void TessaronCommands::withFocusedModel(const std::function<void(PipelineViewModel&)>& operation) {
    if (focused_ && operation) operation(*focused_);
}

}  // namespace tessaron::views
