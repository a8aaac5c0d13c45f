#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

#include "app/QuitSignals.hpp"
#include "services/ServiceEndpoints.hpp"
#include "services/UpdateModel.hpp"
#include "viewmodel/PipelineViewModel.hpp"
#include "viewmodel/SettingsPreferenceStore.hpp"
#include "views/AppDelegate.hpp"
#include "views/MainWindow.hpp"
#include "views/SettingsView.hpp"
#include "views/UpdateBannerView.hpp"

namespace tessaron::services {
class AcknowledgementsView;
}

namespace tessaron::app {

// The application object: for the life of the process it owns the one view
// model, the one update model, the delegate, the main window, the
// acknowledgements window and the Settings window, and it routes every way
// of quitting (Quit, closing the main window, SIGTERM, SIGINT) through the
// delegate's quit guard.
//
// Threads: the main thread only.
class TessaronApp : public QObject {
    Q_OBJECT
public:
    // `endpoints`: where the update check and the feedback mail go.
    explicit TessaronApp(services::ServiceEndpoints endpoints = services::ServiceEndpoints::standard(),
                         QObject* parent = nullptr);
    ~TessaronApp() override;

    // Shows the main window, hands the model to the delegate, runs the
    // launch check for an interrupted run and the daily update check, and
    // tells when the settings file had to be left alone.
    void launch();

    // The Help menu's windows and mail.
    void showAcknowledgements();
    void sendFeedback(const std::optional<QString>& context);

    // The update feed's host, as the Settings form names it.
    QString updateHost() const { return endpoints_.feedURL.host(); }
    // The banner's view of a release.
    static views::UpdateOffer offerOf(const services::LatestRelease& release);

    views::MainWindow& mainWindow() const { return *window_; }
    views::AppDelegate& delegate() { return delegate_; }
    viewmodel::PipelineViewModel& pipelineViewModel() const { return *pipelineVM_; }
    services::UpdateModel& updates() const { return *updates_; }
    // Open windows; none until first shown.
    services::AcknowledgementsView* acknowledgementsWindow() const { return acknowledgements_.get(); }
    views::SettingsView* settingsWindow() const { return settings_.get(); }

private:
    void showSettings();
    void showSettingsRefusal(const QString& why);
    void publishUpdateOffer();

    services::ServiceEndpoints endpoints_;
    viewmodel::SettingsPreferenceStore defaults_;
    std::unique_ptr<viewmodel::PipelineViewModel> pipelineVM_;
    std::unique_ptr<services::UpdateModel> updates_;
    views::AppDelegate delegate_;
    // Declared after the models, so that the windows go first.
    std::unique_ptr<views::MainWindow> window_;
    std::unique_ptr<services::AcknowledgementsView> acknowledgements_;
    std::unique_ptr<views::SettingsView> settings_;
    QuitSignals quitSignals_;
};

}  // namespace tessaron::app
