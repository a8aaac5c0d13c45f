#include "app/TessaronApp.hpp"

#include <QCoreApplication>
#include <QTimer>

#include "pipeline/ApplicationSupport.hpp"

namespace tessaron::app {

TessaronApp::TessaronApp(QObject* parent)
    : QObject(parent),
      pipelineVM_(std::make_unique<viewmodel::PipelineViewModel>()),
      delegate_(views::messageBoxPresenter(), /*sendFeedback=*/{}, views::ModelOperations::standard()) {
    views::ApplicationActions actions;
    actions.showSettings = [this] { showSettings(); };
    actions.quit = [this] { delegate_.requestQuit(); };
    window_ = std::make_unique<views::MainWindow>(*pipelineVM_, defaults_, views::ModelOperations::standard(),
                                                  std::move(actions));
    connect(window_.get(), &views::MainWindow::closeRequested, &delegate_, &views::AppDelegate::requestQuit);
    connect(&quitSignals_, &QuitSignals::quitRequested, &delegate_, &views::AppDelegate::requestQuit);
    // Leave the event loop once the guard's call has returned. exit(), not
    // quit(): quit() would ask the windows to close again, and the main
    // window answers that with the guard.
    connect(&delegate_, &views::AppDelegate::quitApproved, this, [] { QCoreApplication::exit(0); },
            Qt::QueuedConnection);
}

TessaronApp::~TessaronApp() = default;

void TessaronApp::launch() {
    window_->resize(1280, 800);
    window_->show();
    delegate_.setPipelineViewModel(pipelineVM_.get());
    std::optional<std::filesystem::path> logs;
    if (auto support = pipeline::applicationSupportFolder()) logs = pipeline::logFolder(*support);
    delegate_.reportInterruptedRunIfNeeded(logs, defaults_);
}

void TessaronApp::showSettings() {
    if (!settings_) settings_ = std::make_unique<views::SettingsView>(defaults_, QString::fromLatin1(updateHost));
    settings_->show();
    settings_->raise();
    settings_->activateWindow();
}

}  // namespace tessaron::app
