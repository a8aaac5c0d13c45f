#include "services/FeedbackSender.hpp"

#include <QClipboard>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QUuid>

#include <vector>

#include "core/AtomicFile.hpp"
#include "core/Error.hpp"
#include "pipeline/ApplicationSupport.hpp"
#include "services/DesktopOpener.hpp"
#include "services/FeedbackFallbackDialog.hpp"

namespace tessaron::services {

namespace fs = std::filesystem;

namespace {

const QString mailNotSetUp = QStringLiteral("Mail isn't set up on this computer.");
// The xdg-utils' exit status for "a required tool could not be found".
constexpr int xdgToolNotFound = 3;

// The folders of log copies made in this process, removed at quit.
std::vector<fs::path>& temporaryLogCopies() {
    static std::vector<fs::path> folders;
    return folders;
}

void rememberTemporaryLogCopy(const fs::path& folder) {
    if (temporaryLogCopies().empty() && QCoreApplication::instance())
        QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit,
                         &FeedbackSender::removeTemporaryLogCopies);
    temporaryLogCopies().push_back(folder);
}

// The last `maxBytes` bytes of a file; none when it cannot be read.
std::optional<QByteArray> readTail(const fs::path& path, qint64 maxBytes) {
    QFile file(QString::fromStdString(path.string()));
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    qint64 size = file.size();
    qint64 length = std::min(size, maxBytes);
    if (!file.seek(size - length)) return std::nullopt;
    QByteArray bytes = file.read(length);
    if (bytes.size() != length) return std::nullopt;
    return bytes;
}

// The last run's record, or why a file that is there was not read. Read as
// a regular file of at most a megabyte: a FIFO there would hold the window
// for good, /dev/zero or a huge sparse file would fill the memory.
struct RunRecord {
    std::optional<pipeline::RunReport> report;
    std::optional<QString> note;
};

RunRecord readRunReport(const fs::path& folder) {
    const fs::path file = folder / pipeline::RunReport::fileName;
    std::error_code ignored;  // any other trouble shows in the read below
    if (fs::symlink_status(file, ignored).type() == fs::file_type::not_found) return {};
    std::string text;
    try {
        text = core::readWholeFile(file, FeedbackSender::runReportByteLimit);
    } catch (const core::Error& error) {
        return {std::nullopt, QString::fromStdString(error.what()) + QLatin1Char('.')};
    }
    try {
        return {pipeline::RunReport::decode(text), std::nullopt};
    } catch (const core::Error&) {
        // A report that does not decode is no report.
        return {};
    }
}

}  // namespace

FeedbackSender::FeedbackSender(std::optional<QString> context, std::optional<fs::path> logFolder,
                               ServiceEndpoints endpoints, QObject* parent)
    : QObject(parent), info_(DiagnosticsInfo::current()), context_(std::move(context)), endpoints_(std::move(endpoints)) {
    if (logFolder) {
        log_ = findRunLog(*logFolder);
        RunRecord record = readRunReport(*logFolder);
        run_ = std::move(record.report);
        runNote_ = std::move(record.note);
    }
}

QSet<FeedbackSender*>& FeedbackSender::liveSenders() {
    static QSet<FeedbackSender*> senders;
    return senders;
}

std::optional<fs::path> FeedbackSender::defaultLogFolder() {
    auto support = pipeline::applicationSupportFolder();
    if (!support) return std::nullopt;
    return pipeline::logFolder(*support);
}

const std::optional<fs::path>& FeedbackSender::attachment() {
    if (!attachment_) attachment_ = log_ ? copyLogTail(*log_, attachmentByteLimit) : std::nullopt;
    return *attachment_;
}

std::optional<fs::path> FeedbackSender::findRunLog(const fs::path& folder) {
    for (const char* name : {"current_run.md", "previous_run.md"}) {
        std::error_code error;
        fs::path candidate = folder / name;
        if (fs::is_regular_file(candidate, error) && fs::file_size(candidate, error) >= 1 && !error) return candidate;
    }
    return std::nullopt;
}

std::optional<QString> FeedbackSender::lastLogLines(const fs::path& log, int count) {
    auto bytes = readTail(log, logLinesByteLimit);
    if (!bytes || bytes->isEmpty()) return std::nullopt;
    // The first line may be the cut-off end of a longer one; it stays in.
    QStringList lines = QString::fromUtf8(*bytes).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (lines.size() > count) lines = lines.mid(lines.size() - count);
    QString joined = lines.join(QLatin1Char('\n'));
    if (joined.isEmpty()) return std::nullopt;
    return joined;
}

std::optional<fs::path> FeedbackSender::copyLogTail(const fs::path& log, qint64 maxBytes) {
    auto bytes = readTail(log, maxBytes);
    if (!bytes) return std::nullopt;
    QString token = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().left(6);
    fs::path folder = fs::path(QDir::tempPath().toStdString()) / ("Tessaron-log-" + token.toStdString());
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) return std::nullopt;
    rememberTemporaryLogCopy(folder);
    fs::path copy = folder / log.filename();
    QFile file(QString::fromStdString(copy.string()));
    if (!file.open(QIODevice::WriteOnly) || file.write(*bytes) != bytes->size() || !file.flush()) return std::nullopt;
    return copy;
}

void FeedbackSender::removeTemporaryLogCopies() {
    for (const fs::path& folder : temporaryLogCopies()) {
        std::error_code error;
        fs::remove_all(folder, error);
    }
    temporaryLogCopies().clear();
}

QString FeedbackSender::composeBody(const DiagnosticsInfo& info, bool hasAttachment,
                                    const std::optional<QString>& context,
                                    const std::optional<pipeline::RunReport>& run,
                                    const std::optional<QString>& logLines, const std::optional<QString>& runNote) {
    QStringList lines;
    if (context) lines << *context << QString();
    lines << QStringLiteral("What happened, and what did you expect?") << QString() << QString() << QString();
    const std::optional<QString> shownRunNote = run ? std::nullopt : runNote;
    if (run || logLines || shownRunNote)
        lines << QStringLiteral(
                     "Tessaron added the details below (settings, the step reached, any error, the last log lines). "
                     "They can contain folder paths on your computer — delete anything you'd rather not send.")
              << QString();
    if (run) lines << QStringLiteral("— Last run —") << QString::fromStdString(run->summary()) << QString();
    if (shownRunNote) lines << QStringLiteral("— Last run —") << *shownRunNote << QString();
    if (logLines) lines << QStringLiteral("— Last log lines —") << *logLines << QString();
    lines << QStringLiteral("—") << info.line();
    if (hasAttachment)
        lines << QStringLiteral(
            "The log of the last run (its last 5 MB) is attached. It lists folder paths on your computer — remove "
            "it if you'd rather not send them.");
    lines << QStringLiteral(
        "If Tessaron crashed: open a terminal right after the crash, run \"coredumpctl info\" and paste what it "
        "prints into this mail.");
    return lines.join(QLatin1Char('\n'));
}

std::optional<QString> FeedbackSender::currentLogLines() const {
    return log_ ? lastLogLines(*log_, logLineCount) : std::nullopt;
}

QString FeedbackSender::detailsText(bool hasAttachment) const {
    return QStringLiteral("To: ") + endpoints_.supportAddress + QStringLiteral("\nSubject: ") + info_.mailSubject() +
           QStringLiteral("\n\n") + composeBody(info_, hasAttachment, context_, run_, currentLogLines(), runNote_);
}

std::optional<QUrl> FeedbackSender::mailtoURL(const QString& body) const {
    if (endpoints_.supportAddress.isEmpty()) return std::nullopt;
    // The query's allowed characters without "&", "=", "+" and "?", so that
    // no text can end its query item or start another.
    const QByteArray keep = QByteArrayLiteral("!$'()*,-./:;@_~");
    QByteArray encoded = QByteArrayLiteral("mailto:") + QUrl::toPercentEncoding(endpoints_.supportAddress, "@") +
                         QByteArrayLiteral("?subject=") + QUrl::toPercentEncoding(info_.mailSubject(), keep) +
                         QByteArrayLiteral("&body=") + QUrl::toPercentEncoding(body, keep);
    QUrl url = QUrl::fromEncoded(encoded, QUrl::StrictMode);
    if (!url.isValid()) return std::nullopt;
    return url;
}

void FeedbackSender::send() {
    if (log_ && !attachment()) {
        showFallback(QStringLiteral("The run log couldn't be attached automatically."));
        return;
    }
    QString body = composeBody(info_, attachment().has_value(), context_, run_, currentLogLines(), runNote_);
    QString program = QStandardPaths::findExecutable(QStringLiteral("xdg-email"));
    if (program.isEmpty() || endpoints_.supportAddress.isEmpty()) {
        showFallback(mailNotSetUp);
        return;
    }
    QStringList arguments{QStringLiteral("--utf8"), QStringLiteral("--subject"), info_.mailSubject(),
                          QStringLiteral("--body"), body};
    if (attachment()) arguments << QStringLiteral("--attach") << QString::fromStdString(attachment()->string());
    arguments << endpoints_.supportAddress;

    mailProgram_ = new QProcess(this);
    mailProgram_->setProcessChannelMode(QProcess::ForwardedChannels);
    connect(mailProgram_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) mailFailed(mailNotSetUp);
    });
    connect(mailProgram_, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus status) {
        if (status == QProcess::NormalExit && exitCode == 0)
            mailHandedOver();
        else if (status == QProcess::NormalExit && exitCode == xdgToolNotFound)
            // xdg-email found no mail program to hand the message to.
            mailFailed(mailNotSetUp);
        else
            mailFailed(QStringLiteral("Mail couldn't open the message."));
    });
    mailProgram_->start(program, arguments);
}

void FeedbackSender::mailHandedOver() {
    if (mailProgram_) mailProgram_->deleteLater();
    retire();
}

void FeedbackSender::mailFailed(const QString& reason) {
    if (mailProgram_) {
        mailProgram_->disconnect(this);
        mailProgram_->deleteLater();
    }
    showFallback(reason);
}

void FeedbackSender::showFallback(const QString& reason) {
    std::optional<fs::path> fileToMention = attachment() ? attachment() : log_;
    auto* dialog = new FeedbackFallbackDialog(endpoints_.supportAddress, reason, fileToMention.has_value());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::ApplicationModal);
    bool hasFileToMention = fileToMention.has_value();
    connect(dialog, &FeedbackFallbackDialog::copyDetailsRequested, this, [this, hasFileToMention] {
        QGuiApplication::clipboard()->setText(detailsText(hasFileToMention));
    });
    connect(dialog, &FeedbackFallbackDialog::revealLogRequested, this, [dialog, fileToMention] {
        // xdg-open cannot select a file; the File Manager opens its folder.
        if (fileToMention)
            DesktopOpener::open(QUrl::fromLocalFile(QString::fromStdString(fileToMention->parent_path().string())),
                                dialog);
    });
    connect(dialog, &FeedbackFallbackDialog::openMailLinkRequested, this, [this] {
        // The dialog closes; without a mail program the user hears so.
        if (auto url = mailtoURL(composeBody(info_, false, context_, run_, currentLogLines(), runNote_)))
            DesktopOpener::open(*url);
    });
    connect(dialog, &QDialog::finished, this, &FeedbackSender::retire);
    dialog->show();
    emit fallbackShown(dialog);
}

void FeedbackSender::retire() {
    bool owned = liveSenders().remove(this);
    emit finished();
    if (owned) deleteLater();
}

}  // namespace tessaron::services
