#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "engines/LogFileWriter.hpp"
#include "pipeline/PipelineState.hpp"

namespace tessaron::pipeline {

// The run log of one operation at a time: a Markdown header, then
// "[TAG] text" per message, in a new file of the workspace's
// "Tessaron_logs" and as current_run.md in the support folder's "Logs" (the
// one before kept as previous_run.md). A copy that cannot be opened or
// written is left out and said so; the run never fails for its log.
//
// Threads: every member may be called from any thread; `lock_` guards the
// writers, the file's path and the last step. The handlers are called
// without the lock held.
class RunLog {
public:
    struct Handlers {
        // Each message, after the open copies got it; also the notes about
        // a copy that could not be written to the end.
        std::function<void(PipelineLogStep step, const std::string& text)> onMessage;
        // The workspace copy of a newly opened log.
        std::function<void(const std::filesystem::path& file)> onFileReady;
    };

    // No support folder: only the workspace copy is kept.
    RunLog(std::optional<std::filesystem::path> supportFolder, Handlers handlers);
    ~RunLog();
    RunLog(const RunLog&) = delete;
    RunLog& operator=(const RunLog&) = delete;

    // Closes the log before, then opens both copies; never throws.
    void open(const std::filesystem::path& workspaceURL);
    // Writes the message to the open copies, then hands it to onMessage.
    void message(PipelineLogStep step, const std::string& text);
    // Flushes and closes both copies; a copy that failed to write says so
    // once, in the other copy and on onMessage. Harmless when nothing is open.
    void close();

    // The workspace copy of the latest opened log.
    std::optional<std::filesystem::path> fileURL() const;
    // "Logs" in the support folder; none without one.
    std::optional<std::filesystem::path> folder() const;

private:
    // Appends "[TAG] text" to each open copy.
    void write(PipelineLogStep step, const std::string& text);

    const std::optional<std::filesystem::path> supportFolder_;
    const Handlers handlers_;

    mutable std::mutex lock_;
    std::optional<std::filesystem::path> fileURL_;
    std::shared_ptr<engines::LogFileWriter> workspaceWriter_;
    std::shared_ptr<engines::LogFileWriter> mirrorWriter_;  // current_run.md
    PipelineLogStep lastStep_ = PipelineLogStep::extraction;  // where a write failure is reported
};

}  // namespace tessaron::pipeline
