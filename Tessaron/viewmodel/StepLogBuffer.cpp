#include "viewmodel/StepLogBuffer.hpp"

#include <algorithm>
#include <utility>

namespace tessaron::viewmodel {

void StepLogBuffer::Queue::add(Step step, QString line) {
    std::lock_guard lock(lock_);
    lastStep_ = step;
    std::deque<QString>& waiting = waiting_[step];
    waiting.push_back(std::move(line));
    if (qsizetype(waiting.size()) > lineLimit) waiting.pop_front();
}

StepLogBuffer::Lines StepLogBuffer::Queue::take() {
    Lines taken;
    std::lock_guard lock(lock_);
    taken.swap(waiting_);
    return taken;
}

void StepLogBuffer::Queue::clear() {
    std::lock_guard lock(lock_);
    waiting_.clear();
    lastStep_.reset();
}

std::optional<StepLogBuffer::Step> StepLogBuffer::Queue::lastStep() const {
    std::lock_guard lock(lock_);
    return lastStep_;
}

StepLogBuffer::StepLogBuffer(Sink sink) : sink_(std::move(sink)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { flush(); });
}

void StepLogBuffer::flush() {
    Lines taken = queue_->take();
    if (taken.empty()) return;
    if (QThread::currentThread() == owner_) {
        deliver(std::move(taken));
    } else {
        mainThread_.executor()([this, taken = std::move(taken)]() mutable { deliver(std::move(taken)); });
    }
}

void StepLogBuffer::startFlushing() {
    timer_.stop();
    timer_.start(flushInterval);
}

void StepLogBuffer::deliver(Lines lines) {
    for (auto& [step, waiting] : lines) {
        if (waiting.empty()) continue;
        QString batch;
        for (const QString& line : waiting) {
            batch += line;
            batch += QLatin1Char('\n');
        }
        sink_(step, batch);
    }
}

QString StepLogBuffer::cutLine(const std::string& line) {
    // Four bytes per character at most: a longer prefix is never needed, and
    // a character it splits is cut off below.
    const qsizetype bytes = std::min<qsizetype>(qsizetype(line.size()), 4 * maxLineLength);
    QString text = QString::fromUtf8(line.data(), bytes);
    if (text.size() > maxLineLength || bytes < qsizetype(line.size())) {
        text.truncate(maxLineLength - 1);
        text.append(QChar(0x2026));
    }
    return text;
}

void StepLogBuffer::appendTrimmingLines(QString& log, const QString& text, qsizetype lines, qsizetype characters) {
    log += text;
    const qsizetype lineFeeds = log.count(QLatin1Char('\n'));
    if (lineFeeds > 2 * lines) {
        // Cut through the (lineFeeds − lines)-th line feed.
        qsizetype position = -1;
        for (qsizetype skipped = 0; skipped < lineFeeds - lines; ++skipped)
            position = log.indexOf(QLatin1Char('\n'), position + 1);
        log.remove(0, position + 1);
    }
    if (log.size() > 2 * characters) {
        // Keep the last `characters` characters, from the first whole line
        // among them when there is one.
        const qsizetype start = log.size() - characters;
        const qsizetype lineFeed = log.indexOf(QLatin1Char('\n'), start - 1);
        log.remove(0, lineFeed >= 0 && lineFeed + 1 < log.size() ? lineFeed + 1 : start);
    }
}

}  // namespace tessaron::viewmodel
