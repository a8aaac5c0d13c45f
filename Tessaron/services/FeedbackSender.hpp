#pragma once

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QUrl>

#include <cstdint>
#include <filesystem>
#include <optional>

#include "pipeline/RunReport.hpp"
#include "services/DiagnosticsInfo.hpp"
#include "services/ServiceEndpoints.hpp"

class QProcess;

namespace tessaron::services {

class FeedbackFallbackDialog;

// One feedback report by mail: the diagnostics, the last run's record, the
// last lines of the run log and a copy of the log's tail, handed to the
// desktop's mail program through xdg-email. Without one, or when it fails,
// the fallback dialog offers the same details. Nothing is sent by Tessaron
// itself. Main thread only.
class FeedbackSender : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 attachmentByteLimit = 5242880;
    static constexpr qint64 logLinesByteLimit = 32768;
    static constexpr int logLineCount = 20;
    // A run report is a few kilobytes; anything past this is not one.
    static constexpr std::uint64_t runReportByteLimit = 1 << 20;

    // Gathers the facts now: the run log and "last_run.json" of `logFolder`
    // (none: no log and no run record).
    explicit FeedbackSender(std::optional<QString> context,
                            std::optional<std::filesystem::path> logFolder = defaultLogFolder(),
                            ServiceEndpoints endpoints = ServiceEndpoints::standard(), QObject* parent = nullptr);

    // The senders whose mail is open or whose fallback dialog runs. A caller
    // puts a new sender in before send(); the set owns it from then on and
    // lets it go when its work ends.
    static QSet<FeedbackSender*>& liveSenders();

    // Hands the mail to xdg-email, or shows the fallback dialog.
    void send();
    // The fallback dialog with `reason`, one sentence saying what went wrong.
    void showFallback(const QString& reason);

    const DiagnosticsInfo& info() const { return info_; }
    const std::optional<std::filesystem::path>& log() const { return log_; }
    const std::optional<pipeline::RunReport>& run() const { return run_; }
    // Why a "last_run.json" that is there was not read (not a regular file,
    // too large, unreadable); the mail says so in place of the record.
    const std::optional<QString>& runNote() const { return runNote_; }
    const std::optional<QString>& context() const { return context_; }
    // The copy of the log's tail, made on first use; none without a log or
    // when the copy failed.
    const std::optional<std::filesystem::path>& attachment();

    // "To: ", "Subject: " and the body, as "Copy Details" puts them on the
    // clipboard.
    QString detailsText(bool hasAttachment) const;
    // The mailto link of `body`; none without a support address.
    std::optional<QUrl> mailtoURL(const QString& body) const;

    static std::optional<std::filesystem::path> defaultLogFolder();
    static QString composeBody(const DiagnosticsInfo& info, bool hasAttachment, const std::optional<QString>& context,
                               const std::optional<pipeline::RunReport>& run, const std::optional<QString>& logLines,
                               const std::optional<QString>& runNote = std::nullopt);
    // The last `count` non-empty lines of the log's last 32,768 bytes.
    static std::optional<QString> lastLogLines(const std::filesystem::path& log, int count);
    // "current_run.md", else "previous_run.md", whichever first holds a byte.
    static std::optional<std::filesystem::path> findRunLog(const std::filesystem::path& folder);
    // The log's last `maxBytes` bytes under its own name in a new folder
    // "Tessaron-log-XXXXXX" of the temporary directory.
    static std::optional<std::filesystem::path> copyLogTail(const std::filesystem::path& log, qint64 maxBytes);
    // Removes the folders copyLogTail made. Runs when the application quits:
    // a mail program may read an attachment only when the mail goes out.
    static void removeTemporaryLogCopies();

signals:
    // The fallback dialog is on screen.
    void fallbackShown(FeedbackFallbackDialog* dialog);
    // The sender's work is over; it has left liveSenders.
    void finished();

private:
    void mailHandedOver();
    void mailFailed(const QString& reason);
    void retire();
    std::optional<QString> currentLogLines() const;

    DiagnosticsInfo info_;
    std::optional<std::filesystem::path> log_;
    std::optional<std::optional<std::filesystem::path>> attachment_;  // outer: computed yet
    std::optional<pipeline::RunReport> run_;
    std::optional<QString> runNote_;
    std::optional<QString> context_;
    ServiceEndpoints endpoints_;
    QPointer<QProcess> mailProgram_;
};

}  // namespace tessaron::services
