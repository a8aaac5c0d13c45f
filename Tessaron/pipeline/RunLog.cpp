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
    if (workspaceCopy) report<&Callbacks::onLogFileReady>(fileURL);

    // The step of the first stage of every operation's road.
    const PipelineLogStep step = PipelineLogStep::extraction;
    if (supportFolder_ && !mirror)
        log(step, "⚠ The run log could not be created in " + pipeline::logFolder(*supportFolder_).string() + ".");
    if (!workspaceCopy) log(step, "⚠ The run log could not be created in " + folder.string() + ".");
}

void PipelineManager::writeLogLine(PipelineLogStep step, const std::string& text) {
    std::shared_ptr<engines::LogFileWriter> workspaceCopy, mirror;
    {
        std::lock_guard lock(logLock_);
        workspaceCopy = logWriter_;
        mirror = mirrorWriter_;
        lastLogStep_ = step;
    }
    if (!workspaceCopy && !mirror) return;
    const std::string line = "[" + tag(step) + "] " + text;
    if (workspaceCopy) workspaceCopy->write(line);
    if (mirror) mirror->write(line);
}

void PipelineManager::closeLog() {
    std::shared_ptr<engines::LogFileWriter> workspaceCopy, mirror;
    std::optional<fs::path> workspaceFile;
    PipelineLogStep step;
    {
        std::lock_guard lock(logLock_);
        workspaceCopy = std::exchange(logWriter_, nullptr);
        mirror = std::exchange(mirrorWriter_, nullptr);
        workspaceFile = logFileURL_;
        step = lastLogStep_;
    }
    // Every line queued before is written (or has failed) once its
    // writer's queue has run dry.
    std::vector<std::string> failures;
    auto checkWritten = [&failures](const std::shared_ptr<engines::LogFileWriter>& writer, const fs::path& file) {
        if (!writer) return;
        writer->queue().sync([] {});
        if (writer->didFail()) failures.push_back("⚠ The run log " + file.string() + " could not be written to the end.");
    };
    checkWritten(workspaceCopy, workspaceFile.value_or(fs::path()));
    checkWritten(mirror, logFolder().value_or(fs::path()) / "current_run.md");
    for (const std::string& failure : failures) {
        // The copy that still works keeps the trace too.
        for (const auto& writer : {workspaceCopy, mirror})
            if (writer && !writer->didFail()) writer->write("[" + tag(step) + "] " + failure);
        report<&Callbacks::onLog>(step, failure);
    }
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
