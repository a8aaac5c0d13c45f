#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "core/PreferenceStore.hpp"
#include "pipeline/RunReport.hpp"
#include "views/ModelOperations.hpp"

#include "viewmodel/PipelineViewModel.hpp"

namespace tessaron::views {

// A modal alert: its texts and buttons in order, the first the default.
struct Alert {
    QString message;
    QString informativeText;
    QStringList buttons;
};
// Shows an alert and answers the index of the chosen button (-1: none).
using AlertPresenter = std::function<int(const Alert&)>;
// A modal QMessageBox over the active window.
AlertPresenter messageBoxPresenter();

// How long the quit guard waits.
struct QuitTiming {
    std::chrono::milliseconds idleWait{20000};  // after "Stop and Quit", for the run to stop
    std::chrono::milliseconds killWait{5000};   // after the kill, for the children to go
};

// The application's launch and quit behaviour:
// - at launch it offers once to report a run the application did not live to
//   finish;
// - a quit during a run asks first, stops the run, waits for it and kills
//   the engines' children when they do not stop, and refuses to quit while
//   one still runs;
// - at termination it closes a run report that is still running.
//
// Threads: the main thread only. The waits are timers and signal
// connections on the event loop; nothing blocks it.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    using Timing = QuitTiming;
    enum class TerminateReply { now, cancel, later };
    // The feedback mail, given the context text or none.
    using FeedbackAction = std::function<void(const std::optional<QString>& context)>;

    AppDelegate(AlertPresenter alerts, FeedbackAction sendFeedback, ModelOperations operations = ModelOperations::standard(),
                QuitTiming timing = QuitTiming(), QObject* parent = nullptr);
    ~AppDelegate() override;

    // Held weakly: the model may go first.
    void setPipelineViewModel(viewmodel::PipelineViewModel* model);
    viewmodel::PipelineViewModel* pipelineViewModel() const { return pipelineVM_.data(); }

    // Launch: looks for a run left "running" in `logFolder` (none: nothing
    // to look at) and, when one is found, posts the prompt to the event loop.
    // A report that cannot be saved back is told on stderr and not offered.
    void reportInterruptedRunIfNeeded(const std::optional<std::filesystem::path>& logFolder,
                                      core::PreferenceStore& defaults);
    // The prompt: "Report…" sends the feedback mail with the run's step.
    void offerReport(const pipeline::RunReport& report);

    // The quit confirmation's informative text: what becomes of the finished
    // cells, for a run that has cells; empty otherwise.
    static QString quitInformativeText(const viewmodel::PipelineViewModel& model);

    // The quit guard. `later` means a reply follows through
    // terminationReplied().
    TerminateReply applicationShouldTerminate();
    // Closes a run report still marked running as cancelled.
    void applicationWillTerminate();

    // Calls `completion` once: true as soon as the model has no active
    // operation and no engine child runs any more (on the event loop, also
    // when that holds already), false when `timeout` passes first. A new
    // wait replaces the previous one.
    void waitForIdle(viewmodel::PipelineViewModel& model, std::chrono::milliseconds timeout,
                     std::function<void(bool reached)> completion);

    // What the window's quit paths call (Quit, closing the window, SIGTERM,
    // SIGINT): runs the guard and, when it allows, closes the report and
    // emits quitApproved(). A request while one is pending is ignored.
    void requestQuit();
    bool isTerminationPending() const { return terminationPending_; }

signals:
    // The reply to a termination that was answered `later`.
    void terminationReplied(bool shouldTerminate);
    // The application may now quit.
    void quitApproved();

private:
    class IdleWait;

    bool isActive(viewmodel::PipelineViewModel& model) const;
    void afterIdleWait(bool reached);
    void afterKillWait();
    void replyToTermination(bool shouldTerminate);

    AlertPresenter alerts_;
    FeedbackAction sendFeedback_;
    ModelOperations operations_;
    Timing timing_;
    QPointer<viewmodel::PipelineViewModel> pipelineVM_;
    QPointer<IdleWait> waitForStop_;  // a child of this object
    bool terminationPending_ = false;
};

}  // namespace tessaron::views
