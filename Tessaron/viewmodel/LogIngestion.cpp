// Engine lines: progress values parsed on the reporting thread, the lines
// themselves batched into the step logs five times a second.

#include <QRegularExpression>
#include <QThread>

#include <utility>

#include "viewmodel/PipelineViewModel.hpp"

namespace tessaron::viewmodel {

namespace {

using Step = pipeline::PipelineLogStep;
using LogLines = std::map<Step, std::deque<QString>>;

// A line as the logs keep it: at most maxLogLineLength characters.
QString cutLine(const std::string& line) {
    const qsizetype limit = PipelineViewModel::maxLogLineLength;
    // Four bytes per character at most: a longer prefix is never needed, and
    // a character it splits is cut off below.
    const qsizetype bytes = std::min<qsizetype>(qsizetype(line.size()), 4 * limit);
    QString text = QString::fromUtf8(line.data(), bytes);
    if (text.size() > limit || bytes < qsizetype(line.size())) {
        text.truncate(limit - 1);
        text.append(QChar(0x2026));
    }
    return text;
}

// The patterns, compiled once for the process; QRegularExpression is safe to
// match from several threads at once.
const QRegularExpression& processedFilePattern() {
    static const QRegularExpression pattern(QStringLiteral(R"(Processed file \[(\d+)/(\d+)\])"));
    return pattern;
}

// COLMAP 3.8 prints "(M)", later versions "(num_reg_frames=M)".
const QRegularExpression& registeringImagePattern() {
    static const QRegularExpression pattern(QStringLiteral(R"(Registering image #\d+ \((?:num_reg_frames=)?(\d+)\))"));
    return pattern;
}

const QRegularExpression& physicalMemoryPattern() {
    static const QRegularExpression pattern(QStringLiteral(R"(phys=([0-9]+\.?[0-9]*)\s*MB)"));
    return pattern;
}

std::optional<qint64> capturedCount(const QRegularExpressionMatch& match, int group) {
    if (!match.hasMatch()) return std::nullopt;
    bool ok = false;
    const qint64 value = match.captured(group).toLongLong(&ok);
    return ok ? std::optional(value) : std::nullopt;
}

}  // namespace

void PipelineViewModel::ingestLogLine(pipeline::PipelineLogStep step, const std::string& line) {
    ingest(*feed_, executor(), this, step, line);
}

void PipelineViewModel::ingest(LiveFeed& feed, const core::Executor& post, PipelineViewModel* target, Step step,
                               const std::string& line) {
    QString text = cutLine(line);
    if (step == Step::sfm) {
        if (text.contains(QLatin1String("Processed file ["))) {
            if (auto total = capturedCount(processedFilePattern().match(text), 2))
                post([target, total = *total] { target->setSfmTotalImages(total); });
        } else if (text.contains(QLatin1String("Registering image #"))) {
            if (auto registered = capturedCount(registeringImagePattern().match(text), 1))
                post([target, registered = *registered] { target->setSfmRegisteredImages(registered); });
        }
    } else if (step == Step::training && text.contains(QLatin1String("[MEM]"))) {
        const QRegularExpressionMatch match = physicalMemoryPattern().match(text);
        bool ok = false;
        const double megabytes = match.hasMatch() ? match.captured(1).toDouble(&ok) : 0;
        if (ok) {
            const QString memory = megabytes >= 1024 ? QString::asprintf("%.1f GB", megabytes / 1024)
                                                     : QString::asprintf("%.0f MB", megabytes);
            post([target, memory] { target->setEngineRamString(memory); });
        }
    }

    std::lock_guard lock(feed.lock);
    feed.lastStep = step;
    std::deque<QString>& waiting = feed.logBuffer[step];
    waiting.push_back(std::move(text));
    // The log keeps no more than its last lines of a batch either.
    if (qsizetype(waiting.size()) > stepLogLineLimit) waiting.pop_front();
}

void PipelineViewModel::flushLogBuffer() {
    LogLines taken;
    {
        std::lock_guard lock(feed_->lock);
        taken.swap(feed_->logBuffer);
    }
    if (taken.empty()) return;
    if (QThread::currentThread() == thread()) {
        applyLogLines(std::move(taken));
    } else {
        executor()([this, taken = std::move(taken)]() mutable { applyLogLines(std::move(taken)); });
    }
}

void PipelineViewModel::applyLogLines(LogLines lines) {
    for (auto& [step, waiting] : lines) {
        if (waiting.empty()) continue;
        QString batch;
        for (const QString& line : waiting) {
            batch += line;
            batch += QLatin1Char('\n');
        }
        auto append = [&](const QString& current, auto setter) {
            QString log = current;
            appendTrimmingLines(log, batch);
            (this->*setter)(log);
        };
        switch (step) {
        case Step::extraction: append(extractionLog_, &Self::setExtractionLog); break;
        case Step::sfm: append(sfmLog_, &Self::setSfmLog); break;
        case Step::dataPrep: append(dataPrepLog_, &Self::setDataPrepLog); break;
        case Step::training: append(trainingLog_, &Self::setTrainingLog); break;
        case Step::export_: append(exportLog_, &Self::setExportLog); break;
        }
    }
}

void PipelineViewModel::appendTrimmingLines(QString& log, const QString& text, qsizetype lineLimit,
                                            qsizetype characterLimit) {
    log += text;
    const qsizetype lineFeeds = log.count(QLatin1Char('\n'));
    if (lineFeeds > 2 * lineLimit) {
        // Cut through the (lineFeeds − lineLimit)-th line feed.
        qsizetype position = -1;
        for (qsizetype skipped = 0; skipped < lineFeeds - lineLimit; ++skipped)
            position = log.indexOf(QLatin1Char('\n'), position + 1);
        log.remove(0, position + 1);
    }
    if (log.size() > 2 * characterLimit) {
        // Keep the last characterLimit characters, from the first whole line
        // among them when there is one.
        const qsizetype start = log.size() - characterLimit;
        const qsizetype lineFeed = log.indexOf(QLatin1Char('\n'), start - 1);
        log.remove(0, lineFeed >= 0 && lineFeed + 1 < log.size() ? lineFeed + 1 : start);
    }
}

void PipelineViewModel::startLogFlushTimer() {
    logFlushTimer_.stop();
    logFlushTimer_.start(200);
}

void PipelineViewModel::stopLogFlushTimer() { logFlushTimer_.stop(); }

}  // namespace tessaron::viewmodel
