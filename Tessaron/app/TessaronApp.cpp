#include "app/TessaronApp.hpp"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QOpenGLContext>
#include <QOpenGLWidget>
#include <QTimer>

#include "pipeline/ApplicationSupport.hpp"
#include "services/AcknowledgementsView.hpp"
#include "services/FeedbackSender.hpp"
#include "views/MainDashboardView.hpp"
#include "views/QtDialogService.hpp"

namespace tessaron::app {

namespace {

// The desktop platforms draw OpenGL widgets when a context can be made;
// elsewhere (Qt's offscreen platform, a display without OpenGL) any such
// widget ends the application as its window is drawn.
bool canHoldOpenGLWidgets() {
    const QString platform = QGuiApplication::platformName();
    if (platform != QStringLiteral("xcb") && !platform.startsWith(QStringLiteral("wayland"))) return false;
    QOpenGLContext probe;
    return probe.create();
}

}  // namespace

TessaronApp::TessaronApp(services::ServiceEndpoints endpoints, QObject* parent)
    : QObject(parent),
      endpoints_(std::move(endpoints)),
      pipelineVM_(std::make_unique<viewmodel::PipelineViewModel>()),
      updates_(std::make_unique<services::UpdateModel>(defaults_, endpoints_)),
      delegate_(views::messageBoxPresenter(),
                [this](const std::optional<QString>& context) { sendFeedback(context); },
                views::ModelOperations::standard()) {
    views::ApplicationActions actions;
    actions.sendFeedback = [this] { sendFeedback(std::nullopt); };
    actions.checkForUpdates = [this] { updates_->checkNow(); };
    actions.showAcknowledgements = [this] { showAcknowledgements(); };
    actions.showSettings = [this] { showSettings(); };
    actions.quit = [this] { delegate_.requestQuit(); };
    window_ = std::make_unique<views::MainWindow>(*pipelineVM_, defaults_, views::ModelOperations::standard(),
                                                  std::move(actions));
    pipelineVM_->setDialogService(std::make_shared<views::QtDialogService>(window_.get()));

    // The banner shows exactly while a release is offered; "Later" puts it off.
    views::MainDashboardView& dashboard = window_->dashboard();
    connect(updates_.get(), &services::UpdateModel::availableChanged, this, &TessaronApp::publishUpdateOffer);
    connect(&dashboard, &views::MainDashboardView::laterRequested, updates_.get(),
            &services::UpdateModel::remindLater);
    publishUpdateOffer();

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
    // The window's 3D views are OpenGL widgets. The first one added to a
    // shown window that holds none makes Qt recreate its native window,
    // which vanishes and comes back; with a hidden one from the start the
    // window is made for them before it is first shown.
    if (canHoldOpenGLWidgets()) (new QOpenGLWidget(window_.get()))->hide();
    window_->show();
    delegate_.setPipelineViewModel(pipelineVM_.get());
    std::optional<std::filesystem::path> logs;
    if (auto support = pipeline::applicationSupportFolder()) logs = pipeline::logFolder(*support);
    delegate_.reportInterruptedRunIfNeeded(logs, defaults_);
    // Once the window's event loop runs: the check is asynchronous and never
    // holds it.
    QTimer::singleShot(0, updates_.get(), &services::UpdateModel::checkIfDue);
    // The store has told stderr already; the window says it once too, since
    // nothing the user changes will be there next time.
    if (auto why = defaults_.refusal()) showSettingsRefusal(QString::fromStdString(*why));
}

void TessaronApp::showSettingsRefusal(const QString& why) {
    auto* alert = new QMessageBox(QMessageBox::Warning, QStringLiteral("Tessaron"),
                                  QStringLiteral("Tessaron's settings can't be read or saved"), QMessageBox::Ok,
                                  window_.get());
    alert->setTextFormat(Qt::PlainText);
    alert->setInformativeText(why);
    // The path is the user's: shown as it is, never taken for markup.
    if (auto* informative = alert->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        informative->setTextFormat(Qt::PlainText);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->open();
}

views::UpdateOffer TessaronApp::offerOf(const services::LatestRelease& release) {
    return views::UpdateOffer{release.version, release.build, release.url, release.notesURL};
}

void TessaronApp::publishUpdateOffer() {
    std::optional<views::UpdateOffer> offer;
    if (const auto& release = updates_->available()) offer = offerOf(*release);
    window_->dashboard().setUpdateOffer(offer);
}

void TessaronApp::sendFeedback(const std::optional<QString>& context) {
    // The set of live senders owns it until its mail or fallback is over.
    auto* sender = new services::FeedbackSender(context, services::FeedbackSender::defaultLogFolder(), endpoints_);
    services::FeedbackSender::liveSenders().insert(sender);
    sender->send();
}

void TessaronApp::showAcknowledgements() {
    // One window: a second request brings the open one forward.
    if (!acknowledgements_)
        acknowledgements_ =
            std::make_unique<services::AcknowledgementsView>(services::AcknowledgementsView::noticesText(),
                                                             endpoints_.sourceOfferURL);
    acknowledgements_->show();
    acknowledgements_->raise();
    acknowledgements_->activateWindow();
}

void TessaronApp::showSettings() {
    if (!settings_) settings_ = std::make_unique<views::SettingsView>(defaults_, updateHost());
    settings_->show();
    settings_->raise();
    settings_->activateWindow();
}

}  // namespace tessaron::app
