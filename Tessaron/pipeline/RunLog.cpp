// The run log of PipelineManager: a Markdown header, then "[TAG] text" per
// message, in the workspace's Tessaron_logs and as current_run.md in the
// support folder's Logs.
#include <system_error>

#include "pipeline/ApplicationSupport.hpp"
#include "pipeline/PipelineManager.hpp"
#include "pipeline/RunLogHeader.hpp"

namespace tessaron::pipeline {

namespace fs = std::filesystem;

void PipelineManager::startLog(const fs::path& workspaceURL) {
    closeLog();

    const core::TimePoint now = core::Clock::now();
    const std::string header = RunLogHeader::current(now).text();

    std::shared_ptr<engines::LogFileWriter> mirror;
    if (supportFolder_) mirror = engines::LogFileWriter::rotate(pipeline::logFolder(*supportFolder_), header);

    // A workspace whose log folder cannot be made (a file in its place, no
    // permission) keeps no copy of its own; the run goes on.
    std::shared_ptr<engines::LogFileWriter> workspaceCopy;
    fs::path fileURL;
    const fs::path folder = workspaceURL / "Tessaron_logs";
    std::error_code error;
    fs::create_directories(folder, error);
    if (!error && fs::is_directory(folder, error)) {
        fileURL = folder / RunLogHeader::workspaceLogFileName(now, RunLogHeader::newUUIDText());
        workspaceCopy = engines::LogFileWriter::create(fileURL, header);
    }

    {
        std::lock_guard lock(logLock_);
        mirrorWriter_ = mirror;
        logWriter_ = workspaceCopy;
        if (workspaceCopy) logFileURL_ = fileURL;
    }
    if (workspaceCopy && onLogFileReady) onLogFileReady(fileURL);

    if (!workspaceCopy && !mirror) return;
    // The view model's handler sees each message first, then the files.
    onLog = [previous = onLog, weakSelf = weak_from_this()](PipelineLogStep step, const std::string& text) {
        if (previous) previous(step, text);
        if (auto self = weakSelf.lock()) self->writeLogLine(step, text);
    };
}

void PipelineManager::writeLogLine(PipelineLogStep step, const std::string& text) {
    std::shared_ptr<engines::LogFileWriter> workspaceCopy, mirror;
    {
        std::lock_guard lock(logLock_);
        workspaceCopy = logWriter_;
        mirror = mirrorWriter_;
    }
    const std::string line = "[" + tag(step) + "] " + text;
    if (workspaceCopy) workspaceCopy->write(line);
    if (mirror) mirror->write(line);
}

void PipelineManager::closeLog() {
    std::shared_ptr<engines::LogFileWriter> workspaceCopy, mirror;
    {
        std::lock_guard lock(logLock_);
        workspaceCopy = std::exchange(logWriter_, nullptr);
        mirror = std::exchange(mirrorWriter_, nullptr);
    }
    // On each writer's own queue, so that every line queued before is
    // written first.
    for (const auto& writer : {workspaceCopy, mirror})
        if (writer) writer->queue().sync([&writer] { writer->close(); });
}

std::optional<fs::path> PipelineManager::logFileURL() const {
    std::lock_guard lock(logLock_);
    return logFileURL_;
}

std::optional<fs::path> PipelineManager::logFolder() const {
    if (!supportFolder_) return std::nullopt;
    return pipeline::logFolder(*supportFolder_);
}

}  // namespace tessaron::pipeline
