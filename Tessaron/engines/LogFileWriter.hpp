#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "core/SerialQueue.hpp"

namespace tessaron::engines {

// One append-only text file: created with a header, then one line per
// write, appended in call order on the writer's own queue so that callers
// never wait for the disk. Releasing a writer first finishes the writes
// already queued.
//
// Thread ownership: `handle_` and `didFail_` are guarded by `handleMutex_`,
// so `close()` may run on any thread; writes run on `queue_`. A caller that
// wants every earlier line on disk before closing runs `close()` through
// `queue().sync(...)`.
class LogFileWriter {
public:
    // Creates (or replaces) the file with `header` as its whole contents,
    // exactly as given. Nothing when the file cannot be created or written.
    static std::unique_ptr<LogFileWriter> create(const std::filesystem::path& path, const std::string& header);

    // Keeps the newest and the previous log in `folder`: "previous_run.md" is
    // replaced by the old "current_run.md", and a fresh "current_run.md" is
    // created with `header`. Only that last creation can fail the rotation.
    static std::unique_ptr<LogFileWriter> rotate(const std::filesystem::path& folder, const std::string& header);

    ~LogFileWriter();
    LogFileWriter(const LogFileWriter&) = delete;
    LogFileWriter& operator=(const LogFileWriter&) = delete;

    // Returns at once; appends `line` and a line feed on the queue. After a
    // failed write or close(), lines are dropped.
    void write(const std::string& line);
    // Closes the file without waiting for queued writes.
    void close();
    // True once a write has failed; the file is then closed.
    bool didFail() const;

    core::SerialQueue& queue() { return queue_; }

private:
    explicit LogFileWriter(int handle);
    void append(const std::string& line);  // on queue_

    mutable std::mutex handleMutex_;
    int handle_;  // -1 once closed or after a failed write
    bool didFail_ = false;
    // Last member: its destructor finishes the queued writes while the
    // fields above still exist.
    core::SerialQueue queue_{"tessaron.logfile"};
};

}  // namespace tessaron::engines
