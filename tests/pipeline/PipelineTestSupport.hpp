#pragma once

// Helpers shared by the pipeline tests: stand-in programs written as shell
// scripts, a recorder of everything a manager reports, and temporary
// environment variables.

#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <spawn.h>
#include <sys/types.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engines/ProcessMonitor.hpp"
#include "pipeline/PipelineManager.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/SeedOnlyTestEngine.hpp"
#include "support/TempDir.hpp"

extern "C" char** environ;

namespace tessaron::pipeline {

// The pieces of an operation that tests drive on their own.
struct PipelineManagerTestAccess {
    static std::shared_ptr<const PipelineManager::Callbacks> callbacks(const PipelineManager& manager) {
        return manager.callbacks();
    }
    static void startLog(PipelineManager& manager, const std::filesystem::path& workspace) {
        manager.runLog_.open(workspace);
    }
    static void log(PipelineManager& manager, PipelineLogStep step, const std::string& text) {
        manager.log(step, text);
    }
    static void closeLog(PipelineManager& manager) { manager.runLog_.close(); }
    static bool checkCancelled(PipelineManager& manager, PipelineLogStep step) { return manager.checkCancelled(step); }
    static PipelineManager::ApprovalOutcome awaitPartitionApproval(PipelineManager& manager) {
        return manager.approvalGate_.await().outcome;
    }
    // The whole answer a waiting run gets, with its diagnostics choice.
    static ApprovalGate::Decision awaitPartitionDecision(PipelineManager& manager) {
        return manager.approvalGate_.await();
    }
    // Whether a run waits for the plan's approval now.
    static bool isAwaitingApproval(PipelineManager& manager) { return manager.approvalGate_.isWaiting(); }
    static engines::TrevikRunner& trevikRunner(PipelineManager& manager) { return manager.trevikRunner_; }
    static engines::COLMAPRunner& colmapRunner(PipelineManager& manager) { return manager.colmapRunner_; }
    // Runs `body` as an operation's body, with the operation's one guard.
    static void runGuarded(PipelineManager& manager, PipelineLogStep step, const std::function<void()>& body) {
        manager.runGuarded(step, {}, body);
    }
    static void incompleteModelMessage(PipelineManager& manager, const std::vector<std::string>& failed,
                                       const std::filesystem::path& outputURL) {
        manager.runGuarded(PipelineLogStep::export_, {},
                           [&] { throw PipelineManager::incompleteModel(failed, outputURL); });
    }
};

}  // namespace tessaron::pipeline

namespace tessaron::testing {

using ManagerAccess = pipeline::PipelineManagerTestAccess;

// Changes some of a manager's callbacks between operations, keeping the
// others.
template <typename Change>
void changeCallbacks(pipeline::PipelineManager& manager, Change change) {
    pipeline::PipelineManager::Callbacks callbacks = *ManagerAccess::callbacks(manager);
    change(callbacks);
    manager.setCallbacks(std::move(callbacks));
}

// The kinds of the states, in order, for comparing a run's road.
inline std::vector<pipeline::PipelineState::Kind> kinds(const std::vector<pipeline::PipelineState>& states) {
    std::vector<pipeline::PipelineState::Kind> result;
    for (const pipeline::PipelineState& state : states) result.push_back(state.kind);
    return result;
}

// Starts a program (arguments[0]) in a process group of its own, so that a
// kill of the group (kill(-pid, ...)) ends the children it started too;
// its standard output goes to `output`, and its standard input comes from
// the descriptor `input` when one is given. The pid, or -1 when it cannot
// start.
inline pid_t spawnInOwnProcessGroup(std::vector<std::string> arguments, const std::filesystem::path& output,
                                    int input = -1) {
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (input >= 0) posix_spawn_file_actions_adddup2(&files, input, 0);
    pid_t pid = 0;
    const int failure = posix_spawn(&pid, argv[0], &files, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    return failure == 0 ? pid : -1;
}

inline std::filesystem::path writeScript(const std::filesystem::path& path, const std::string& body) {
    writeTextFile(path, "#!/bin/sh\n" + body + "\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
}

// A COLMAP that answers the version probe and then sleeps in every step.
// `exec` makes the sleep the child itself, so a SIGTERM ends it at once and
// no grandchild keeps the output pipes open.
inline std::filesystem::path sleepingCOLMAP(const std::filesystem::path& folder) {
    return writeScript(folder / "colmap",
                       "if [ \"$1\" = \"-h\" ]; then echo 'COLMAP 3.8 -- Structure-from-Motion'; exit 0; fi\n"
                       "echo \"step $1\"\n"
                       "exec sleep 30");
}

// A manager configuration for tests: a support folder of the test's own and,
// when given, programs of its own.
inline pipeline::PipelineManager::Configuration testConfiguration(const std::filesystem::path& supportFolder,
                                                                  std::optional<std::filesystem::path> colmap = {},
                                                                  std::optional<std::filesystem::path> trevik = {}) {
    pipeline::PipelineManager::Configuration configuration;
    configuration.supportFolder = supportFolder;
    if (colmap) configuration.colmapPath = colmap->string();
    if (trevik) configuration.trevikPath = trevik->string();
    return configuration;
}

// Everything a manager reports, gathered from whichever thread reports it.
// Each callback holds the manager weakly and counts calls that arrive once
// the manager is gone.
class RunRecorder {
public:
    struct LogEntry {
        pipeline::PipelineLogStep step;
        std::string text;
        bool operator==(const LogEntry&) const = default;
    };

    void attach(pipeline::PipelineManager& manager) {
        std::weak_ptr<pipeline::PipelineManager> weakManager = manager.weak_from_this();
        auto alive = [this, weakManager] {
            if (weakManager.expired()) {
                std::lock_guard lock(mutex_);
                ++callsAfterRelease_;
            }
        };
        pipeline::PipelineManager::Callbacks callbacks;
        callbacks.onLog = [this, alive](pipeline::PipelineLogStep step, const std::string& text) {
            alive();
            std::lock_guard lock(mutex_);
            log_.push_back({step, text});
        };
        callbacks.onStateChange = [this, alive](const pipeline::PipelineState& state) {
            alive();
            std::lock_guard lock(mutex_);
            states_.push_back(state);
        };
        callbacks.onOutputReady = [this, alive](const std::string& path) {
            alive();
            std::lock_guard lock(mutex_);
            outputs_.push_back(path);
        };
        callbacks.onCellStarted = [this, alive](int64_t index, int64_t total, int64_t iterations) {
            alive();
            std::lock_guard lock(mutex_);
            cellEvents_.push_back("started " + std::to_string(index) + "/" + std::to_string(total) + " " +
                                  std::to_string(iterations));
        };
        callbacks.onCellFinished = [this, alive](double seconds) {
            alive();
            std::lock_guard lock(mutex_);
            cellEvents_.push_back(seconds >= 0 ? "finished" : "finished with a negative time");
        };
        callbacks.onTrainingStats = [this, alive](int64_t, int64_t, float) {
            alive();
            std::lock_guard lock(mutex_);
            ++statsCount_;
        };
        callbacks.onLogFileReady = [this, alive](const std::filesystem::path& file) {
            alive();
            std::lock_guard lock(mutex_);
            logFiles_.push_back(file);
        };
        callbacks.onWarning = [this, alive](const std::string& warning) {
            alive();
            std::lock_guard lock(mutex_);
            warnings_.push_back(warning);
        };
        manager.setCallbacks(std::move(callbacks));
    }

    std::vector<pipeline::PipelineState> states() const {
        std::lock_guard lock(mutex_);
        return states_;
    }
    std::vector<LogEntry> log() const {
        std::lock_guard lock(mutex_);
        return log_;
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> result;
        for (const LogEntry& entry : log()) result.push_back(entry.text);
        return result;
    }
    bool logged(const std::string& text) const {
        for (const LogEntry& entry : log())
            if (entry.text == text) return true;
        return false;
    }
    bool loggedAs(pipeline::PipelineLogStep step, const std::string& text) const {
        return hasEntry({step, text});
    }
    bool hasEntry(const LogEntry& wanted) const {
        for (const LogEntry& entry : log())
            if (entry == wanted) return true;
        return false;
    }
    std::vector<std::string> outputs() const {
        std::lock_guard lock(mutex_);
        return outputs_;
    }
    std::vector<std::string> cellEvents() const {
        std::lock_guard lock(mutex_);
        return cellEvents_;
    }
    std::vector<std::filesystem::path> logFiles() const {
        std::lock_guard lock(mutex_);
        return logFiles_;
    }
    std::vector<std::string> warnings() const {
        std::lock_guard lock(mutex_);
        return warnings_;
    }
    int statsCount() const {
        std::lock_guard lock(mutex_);
        return statsCount_;
    }
    int callsAfterRelease() const {
        std::lock_guard lock(mutex_);
        return callsAfterRelease_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<pipeline::PipelineState> states_;
    std::vector<LogEntry> log_;
    std::vector<std::string> outputs_;
    std::vector<std::string> cellEvents_;
    std::vector<std::filesystem::path> logFiles_;
    std::vector<std::string> warnings_;
    int statsCount_ = 0;
    int callsAfterRelease_ = 0;
};

// The lists a process monitor publishes, for waiting until a child shows up
// under its tag or is gone (the monitor samples on its own queue).
class PublishedSnapshots {
public:
    void attach(engines::ProcessMonitor& monitor) {
        monitor.setOnSnapshots([this](const std::vector<engines::ProcessSnapshot>& snapshots) {
            {
                std::lock_guard lock(mutex_);
                latest_ = snapshots;
            }
            changed_.notify_all();
        });
    }

    // Waits, at most 10 s, for a published list in which `name` is (or is not)
    // present; false when none came.
    bool waitForName(const std::string& name, bool present) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] {
            bool found = false;
            for (const auto& snapshot : latest_) found = found || snapshot.name == name;
            return found == present;
        });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<engines::ProcessSnapshot> latest_;
};

}  // namespace tessaron::testing
