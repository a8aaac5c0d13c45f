#pragma once

#include <QString>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "pipeline/PipelineState.hpp"
#include "viewmodel/MainThreadExecutor.hpp"

namespace tessaron::viewmodel {

// The engines' lines on their way to the step logs: taken in from any
// thread, handed to the owner in one batch per step on the main thread,
// five times a second while an operation runs and whenever it asks.
//
// Threads: add(), flush() and the queue may be used from any thread; the
// rest belongs to the thread that created the buffer, where the sink runs.
class StepLogBuffer {
public:
    using Step = pipeline::PipelineLogStep;
    using Lines = std::map<Step, std::deque<QString>>;
    // A step's waiting lines, each ending with a line feed, to append to its log.
    using Sink = std::function<void(Step step, const QString& batch)>;

    // Most lines a step log keeps; it is cut back to this once it holds twice as many.
    static constexpr qsizetype lineLimit = 2000;
    // The same in characters, for children that write without line breaks.
    static constexpr qsizetype characterLimit = 1000000;
    // Longest line kept; a longer one is cut and ends with "…".
    static constexpr qsizetype maxLineLength = 4096;
    static constexpr std::chrono::milliseconds flushInterval{200};

    // The waiting lines, shared with the reporting threads, which may hold
    // it after the buffer's owner is gone.
    class Queue {
    public:
        // Keeps no more than the last lineLimit lines of a step either.
        void add(Step step, QString line);
        Lines take();
        // Drops the waiting lines and forgets the last step.
        void clear();
        // The step of the last line added since the last clear().
        std::optional<Step> lastStep() const;

    private:
        mutable std::mutex lock_;
        Lines waiting_;
        std::optional<Step> lastStep_;
    };

    explicit StepLogBuffer(Sink sink);
    StepLogBuffer(const StepLogBuffer&) = delete;
    StepLogBuffer& operator=(const StepLogBuffer&) = delete;

    const std::shared_ptr<Queue>& queue() const noexcept { return queue_; }
    void add(Step step, const std::string& line) { queue_->add(step, cutLine(line)); }
    // Hands every waiting line to the sink; off the owner's thread, later on it.
    void flush();
    void startFlushing();
    void stopFlushing() { timer_.stop(); }
    bool isFlushing() const { return timer_.isActive(); }

    // A line as the logs keep it: at most maxLineLength characters, never
    // splitting a character.
    static QString cutLine(const std::string& line);
    // Appends `text` to `log`; past twice the limits, cuts `log` back to its
    // last `lines` lines and `characters` characters, at a line start.
    static void appendTrimmingLines(QString& log, const QString& text, qsizetype lines = lineLimit,
                                    qsizetype characters = characterLimit);

private:
    void deliver(Lines lines);

    Sink sink_;
    std::shared_ptr<Queue> queue_ = std::make_shared<Queue>();
    QThread* owner_ = QThread::currentThread();
    QTimer timer_;
    // Declared last, so that it is invalidated first: a flush posted from a
    // worker never reaches a buffer that is gone.
    MainThreadExecutor mainThread_;
};

}  // namespace tessaron::viewmodel
