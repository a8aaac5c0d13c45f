#pragma once

#include <QObject>

#include <memory>

#include "app/QuitSignals.hpp"
#include "viewmodel/PipelineViewModel.hpp"
#include "viewmodel/SettingsPreferenceStore.hpp"
#include "views/AppDelegate.hpp"
#include "views/MainWindow.hpp"
#include "views/SettingsView.hpp"

namespace tessaron::app {

// The application object: for the life of the process it owns the one view
// model, the delegate, the main window and the Settings window, and it
// routes every way of quitting (Quit, closing the main window, SIGTERM,
// SIGINT) through the delegate's quit guard.
//
// Threads: the main thread only.
class TessaronApp : public QObject {
    Q_OBJECT
public:
    // The update feed's host, named by the Settings form.
    static constexpr const char* updateHost = "updates.tessaron.example";

    explicit TessaronApp(QObject* parent = nullptr);
    ~TessaronApp() override;

    // Shows the main window, hands the model to the delegate and runs the
    // launch check for an interrupted run.
    void launch();

    views::MainWindow& mainWindow() const { return *window_; }
    views::AppDelegate& delegate() { return delegate_; }
    viewmodel::PipelineViewModel& pipelineViewModel() const { return *pipelineVM_; }

private:
    void showSettings();

    viewmodel::SettingsPreferenceStore defaults_;
    std::unique_ptr<viewmodel::PipelineViewModel> pipelineVM_;
    views::AppDelegate delegate_;
    // Declared after the model, so that the windows go first.
    std::unique_ptr<views::MainWindow> window_;
    std::unique_ptr<views::SettingsView> settings_;
    QuitSignals quitSignals_;
};

}  // namespace tessaron::app
