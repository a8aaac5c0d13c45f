#include "pipeline/RunLog.hpp"

#include <system_error>
#include <utility>
#include <vector>

#include "pipeline/ApplicationSupport.hpp"
#include "pipeline/RunLogHeader.hpp"
#include "pipeline/WorkspaceConfinement.hpp"

namespace tessaron::pipeline {

namespace fs = std::filesystem;

RunLog::RunLog(std::optional<fs::path> supportFolder, Handlers handlers)
    : supportFolder_(std::move(supportFolder)), handlers_(std::move(handlers)) {}

RunLog::~RunLog() { close(); }

void RunLog::open(const fs::path& workspaceURL) {
    close();

    const core::TimePoint now = core::Clock::now();
    const std::string header = RunLogHeader::current(now).text();

    std::shared_ptr<engines::LogFileWriter> mirror;
    if (supportFolder_) mirror = engines::LogFileWriter::rotate(logFolder(*supportFolder_), header);

    // A workspace whose log folder cannot be made (a file in its place, no
    // permission) keeps no copy of its own; the run goes on.
    std::shared_ptr<engines::LogFileWriter> workspaceCopy;
    fs::path fileURL;
    const fs::path logs = workspaceURL / "Tessaron_logs";
    std::error_code error;
    // The workspace's own folder: a link that leads out of the workspace is
    // replaced by a folder, so that no log is written where it points. One
    // that cannot be removed leaves the workspace without its copy.
    std::string unremovableLink;
    if (fs::is_symlink(fs::symlink_status(logs, error)) && WorkspaceConfinement::outsideLocation(workspaceURL, logs)) {
        fs::remove(logs, error);
        if (error) unremovableLink = ": the link there, which leads out of the workspace, could not be removed (" +
                                     error.message() + ")";
    }
    if (unremovableLink.empty()) fs::create_directories(logs, error);
    if (unremovableLink.empty() && !error && fs::is_directory(logs, error)) {
        fileURL = logs / RunLogHeader::workspaceLogFileName(now, RunLogHeader::newUUIDText());
        workspaceCopy = engines::LogFileWriter::create(fileURL, header);
    }

    {
        std::lock_guard lock(lock_);
        mirrorWriter_ = mirror;
        workspaceWriter_ = workspaceCopy;
        if (workspaceCopy) fileURL_ = fileURL;
    }
    if (workspaceCopy && handlers_.onFileReady) handlers_.onFileReady(fileURL);

    // The step of the first stage of every operation's road.
    const PipelineLogStep step = PipelineLogStep::extraction;
    if (supportFolder_ && !mirror)
        message(step, "⚠ The run log could not be created in " + logFolder(*supportFolder_).string() + ".");
    if (!workspaceCopy) message(step, "⚠ The run log could not be created in " + logs.string() + unremovableLink + ".");
}

void RunLog::message(PipelineLogStep step, const std::string& text) {
    write(step, text);
    if (handlers_.onMessage) handlers_.onMessage(step, text);
}

void RunLog::write(PipelineLogStep step, const std::string& text) {
    std::shared_ptr<engines::LogFileWriter> workspaceCopy, mirror;
    {
        std::lock_guard lock(lock_);
        workspaceCopy = workspaceWriter_;
        mirror = mirrorWriter_;
        lastStep_ = step;
    }
    if (!workspaceCopy && !mirror) return;
    const std::string line = "[" + tag(step) + "] " + text;
    if (workspaceCopy) workspaceCopy->write(line);
    if (mirror) mirror->write(line);
}

void RunLog::close() {
    std::shared_ptr<engines::LogFileWriter> workspaceCopy, mirror;
    std::optional<fs::path> workspaceFile;
    PipelineLogStep step;
    {
        std::lock_guard lock(lock_);
        workspaceCopy = std::exchange(workspaceWriter_, nullptr);
        mirror = std::exchange(mirrorWriter_, nullptr);
        workspaceFile = fileURL_;
        step = lastStep_;
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
    checkWritten(mirror, folder().value_or(fs::path()) / "current_run.md");
    for (const std::string& failure : failures) {
        // The copy that still works keeps the trace too.
        for (const auto& writer : {workspaceCopy, mirror})
            if (writer && !writer->didFail()) writer->write("[" + tag(step) + "] " + failure);
        if (handlers_.onMessage) handlers_.onMessage(step, failure);
    }
    for (const auto& writer : {workspaceCopy, mirror})
        if (writer) writer->queue().sync([&writer] { writer->close(); });
}

std::optional<fs::path> RunLog::fileURL() const {
    std::lock_guard lock(lock_);
    return fileURL_;
}

std::optional<fs::path> RunLog::folder() const {
    if (!supportFolder_) return std::nullopt;
    return logFolder(*supportFolder_);
}

}  // namespace tessaron::pipeline
