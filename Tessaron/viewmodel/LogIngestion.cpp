// Engine lines: progress values parsed on the reporting thread, the lines
// themselves batched into the step logs by the step log buffer.

#include <QRegularExpression>

#include <utility>

#include "viewmodel/PipelineViewModel.hpp"

namespace tessaron::viewmodel {

namespace {

using Step = pipeline::PipelineLogStep;

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
    ingest(*logBuffer_.queue(), executor(), this, step, line);
}

void PipelineViewModel::ingest(StepLogBuffer::Queue& queue, const core::Executor& post, PipelineViewModel* target,
                               Step step, const std::string& line) {
    QString text = StepLogBuffer::cutLine(line);
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
    queue.add(step, std::move(text));
}

void PipelineViewModel::flushLogBuffer() { logBuffer_.flush(); }

void PipelineViewModel::appendToStepLog(Step step, const QString& batch) {
    auto append = [&](const QString& current, auto setter) {
        QString log = current;
        StepLogBuffer::appendTrimmingLines(log, batch);
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

}  // namespace tessaron::viewmodel
