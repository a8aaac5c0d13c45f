#include "views/AppDelegate.hpp"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

#include "viewmodel/PipelineViewModel.hpp"

namespace tessaron::views {

using viewmodel::PipelineViewModel;

AlertPresenter messageBoxPresenter() {
    return [](const Alert& alert) {
        QMessageBox box(QApplication::activeWindow());
        box.setWindowTitle(QStringLiteral("Tessaron"));
        box.setText(alert.message);
        box.setInformativeText(alert.informativeText);
        QList<QAbstractButton*> buttons;
        for (int index = 0; index < alert.buttons.size(); ++index) {
            // The first button is the default; the others do not accept.
            auto role = index == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
            QPushButton* button = box.addButton(alert.buttons[index], role);
            if (index == 0) box.setDefaultButton(button);
            buttons.append(button);
        }
        box.exec();
        return int(buttons.indexOf(box.clickedButton()));
    };
}

// One quit wait: a subscription to the model's active-operation flag, a
// short poll for the engines' children (which signal nothing) and a
// time-out. Retiring it cancels all three, so a replaced wait never
// completes.
class AppDelegate::IdleWait : public QObject {
public:
    static constexpr std::chrono::milliseconds childPoll{50};

    IdleWait(PipelineViewModel& model, std::function<bool()> isIdle, std::chrono::milliseconds timeout,
             std::function<void(bool)> completion, QObject* parent)
        : QObject(parent), isIdle_(std::move(isIdle)), completion_(std::move(completion)) {
        if (isIdle_()) {
            // Already idle: complete on the event loop, never inside the caller.
            QTimer::singleShot(0, this, [this] { finish(true); });
            return;
        }
        connect(&model, &PipelineViewModel::hasActiveOperationChanged, this, [this] {
            if (isIdle_()) finish(true);
        });
        // The model going away ends the wait as if it had become idle.
        connect(&model, &QObject::destroyed, this, [this] {
            isIdle_ = [] { return true; };
            finish(true);
        });
        connect(&poll_, &QTimer::timeout, this, [this] {
            if (isIdle_()) finish(true);
        });
        poll_.start(childPoll);
        timeout_.setSingleShot(true);
        // A coarse timer may fire 5 % early: the wait is a promise to the user.
        timeout_.setTimerType(Qt::PreciseTimer);
        connect(&timeout_, &QTimer::timeout, this, [this] { finish(false); });
        timeout_.start(timeout);
    }

    // Nothing of this wait runs any more.
    void cancel() {
        done_ = true;
        timeout_.stop();
        poll_.stop();
        completion_ = nullptr;
    }

private:
    void finish(bool reached) {
        if (done_) return;
        done_ = true;
        timeout_.stop();
        poll_.stop();
        // The completion may start the next wait, which retires this one:
        // move it out first.
        auto completion = std::move(completion_);
        completion(reached);
    }

    std::function<bool()> isIdle_;
    std::function<void(bool)> completion_;
    QTimer timeout_;
    QTimer poll_;
    bool done_ = false;
};

AppDelegate::AppDelegate(AlertPresenter alerts, FeedbackAction sendFeedback, ModelOperations operations, Timing timing,
                         QObject* parent)
    : QObject(parent),
      alerts_(std::move(alerts)),
      sendFeedback_(std::move(sendFeedback)),
      operations_(std::move(operations)),
      timing_(timing) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::setPipelineViewModel(PipelineViewModel* model) { pipelineVM_ = model; }

void AppDelegate::reportInterruptedRunIfNeeded(const std::optional<std::filesystem::path>& logFolder,
                                               core::PreferenceStore& defaults) {
    // Without a support folder there is no report to read.
    if (!logFolder) return;
    std::optional<pipeline::RunReport> report;
    try {
        report = pipeline::RunReport::pendingInterruptedRun(*logFolder, defaults);
    } catch (const pipeline::RunReport::SaveError& error) {
        // A report that cannot be marked interrupted (a read-only Logs
        // folder) is a warning, never a reason not to start; no prompt.
        std::fprintf(stderr, "Tessaron: %s\n", error.what());
        return;
    }
    if (!report) return;
    QTimer::singleShot(0, this, [this, report = *report] { offerReport(report); });
}

void AppDelegate::offerReport(const pipeline::RunReport& report) {
    const QString step = QString::fromStdString(report.step);
    Alert alert{QStringLiteral("Tessaron closed unexpectedly during the last run"),
                QStringLiteral("It stopped at ") + step +
                    QStringLiteral(". Sending a report helps fix it: Tessaron prepares an e-mail with the run's "
                                   "settings and log, and you decide whether to send it."),
                {QStringLiteral("Report…"), QStringLiteral("Not Now")}};
    if (alerts_(alert) != 0) return;
    if (sendFeedback_)
        sendFeedback_(QStringLiteral("Tessaron closed unexpectedly during the last run (at ") + step +
                      QStringLiteral(")."));
}

bool AppDelegate::isActive(PipelineViewModel& model) const {
    // A child that outlived its operation counts too: no engine process may
    // outlive the window.
    return model.hasActiveOperation() || model.isProcessRunning();
}

QString AppDelegate::quitInformativeText(const PipelineViewModel& model) {
    // Only a partitioned run has cells to keep and resume.
    const viewmodel::PartitionPlanPointer& plan = model.partitionPlan();
    const bool hasCells = model.totalCells() >= 2 || (plan && !plan->cells.empty());
    if (!hasCells) return {};
    return QStringLiteral("Cells that already finished stay in the workspace; you can resume the rest later.");
}

AppDelegate::TerminateReply AppDelegate::applicationShouldTerminate() {
    if (!pipelineVM_) return TerminateReply::now;
    PipelineViewModel& model = *pipelineVM_;
    if (!isActive(model)) return TerminateReply::now;
    Alert alert{QStringLiteral("Stop the running reconstruction and quit?"), quitInformativeText(model),
                {QStringLiteral("Stop and Quit"), QStringLiteral("Keep Running")}};
    if (alerts_(alert) != 0) return TerminateReply::cancel;
    // The report is closed first, so that the next launch does not take the
    // run for an interrupted one.
    model.cancelActiveRunReport();
    if (operations_.cancelRun) operations_.cancelRun(model);
    waitForIdle(model, timing_.idleWait, [this](bool reached) { afterIdleWait(reached); });
    return TerminateReply::later;
}

void AppDelegate::afterIdleWait(bool reached) {
    if (!pipelineVM_) return replyToTermination(true);
    PipelineViewModel& model = *pipelineVM_;
    if (reached) return replyToTermination(true);
    if (operations_.forceKill) operations_.forceKill(model);
    waitForIdle(model, timing_.killWait, [this](bool) { afterKillWait(); });
}

void AppDelegate::afterKillWait() {
    if (pipelineVM_ && pipelineVM_->isProcessRunning()) {
        alerts_({QStringLiteral("A helper process is still running"),
                 QStringLiteral("Tessaron couldn't stop COLMAP or trevik, so it isn't quitting. Try again, or end "
                                "the process in System Monitor."),
                 {QStringLiteral("OK")}});
        return replyToTermination(false);
    }
    replyToTermination(true);
}

void AppDelegate::replyToTermination(bool shouldTerminate) { emit terminationReplied(shouldTerminate); }

void AppDelegate::applicationWillTerminate() {
    if (pipelineVM_) pipelineVM_->cancelActiveRunReport();
}

void AppDelegate::waitForIdle(PipelineViewModel& model, std::chrono::milliseconds timeout,
                              std::function<void(bool reached)> completion) {
    // The previous wait may be the one whose completion calls this: it is
    // retired, and deleted once its signal has returned.
    if (waitForStop_) {
        waitForStop_->cancel();
        waitForStop_->deleteLater();
    }
    QPointer<PipelineViewModel> watched(&model);
    auto isIdle = [this, watched] { return !watched || !isActive(*watched); };
    waitForStop_ = new IdleWait(model, isIdle, timeout, std::move(completion), this);
}

void AppDelegate::requestQuit() {
    if (terminationPending_) return;
    switch (applicationShouldTerminate()) {
    case TerminateReply::now:
        applicationWillTerminate();
        emit quitApproved();
        return;
    case TerminateReply::cancel: return;
    case TerminateReply::later: break;
    }
    terminationPending_ = true;
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = connect(this, &AppDelegate::terminationReplied, this, [this, connection](bool shouldTerminate) {
        disconnect(*connection);
        terminationPending_ = false;
        if (!shouldTerminate) return;
        applicationWillTerminate();
        emit quitApproved();
    });
}

}  // namespace tessaron::views
