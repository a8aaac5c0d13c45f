#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/Error.hpp"
#include "core/DateText.hpp"
#include "core/PreferenceStore.hpp"

namespace tessaron::pipeline {

// The record of the last operation the application started, kept as
// last_run.json in the log folder and rewritten at every change, so that an
// operation cut off by a crash is found "running" at the next launch.
struct RunReport {
    struct Setting {
        std::string name;
        std::string value;
        bool operator==(const Setting&) const = default;
    };

    enum class Outcome { running, completed, failed, cancelled, interrupted };

    std::string kind;  // "New run", "Resume" or "Re-merge"
    core::TimePoint startedAt;
    std::string input;
    std::vector<Setting> settings;
    std::string step = "Starting";
    Outcome outcome = Outcome::running;
    std::optional<std::string> error;
    std::optional<core::TimePoint> endedAt;
    // What the run warned of about its result (a model worse than its
    // seeds, a very low PSNR), in order; the outcome stays what it was.
    std::vector<std::string> warnings;

    bool operator==(const RunReport&) const = default;

    // What a run's settings rows are made from: the window's settings or the
    // harness's options, so that both write the same report.
    struct RunSettings {
        int64_t modelSize = 0;    // the Gaussian cap
        int64_t downscale = 0;    // 0: chosen automatically
        bool eval = false;
        double ramLimitGB = 0;
        bool partitioning = false;
        bool skipSfM = false;
    };
    // "Model size", "Downscale", "Eval", "Memory limit", "Partitioning", and
    // "Skip COLMAP" only when it is on. `groupedCount` writes the model size
    // as the user's locale groups digits; without one, "1,000,000".
    // The memory limit as every place shows it: whole GB, "13 GB".
    static std::string memoryLimitText(double gigabytes);
    static std::vector<Setting> settingsSummary(const RunSettings& settings,
                                                const std::function<std::string(int64_t)>& groupedCount = {});

    static constexpr const char* fileName = "last_run.json";
    // A report is a few hundred bytes; a larger file is not one we wrote,
    // and reading it must not hold up the launch.
    static constexpr std::uint64_t maximumFileBytes = std::uint64_t(1) << 20;
    static constexpr const char* reportedInterruptedRunKey = "reportedInterruptedRun";

    // Compact JSON with ISO-8601 dates; absent error and endedAt, and no
    // warnings, are omitted (a report without warnings reads as before).
    std::string encode() const;
    // Throws core::Error on malformed JSON, a missing key or a wrong type.
    static RunReport decode(const std::string& json);

    // Reads last_run.json of the folder: a regular file of at most
    // maximumFileBytes (a FIFO or a device is refused without waiting).
    // Throws core::Error naming the file and the reason.
    static RunReport load(const std::filesystem::path& folder);

    // A report that could not be written: what() names the file and the reason.
    class SaveError : public core::Error {
    public:
        using core::Error::Error;
    };

    // On any failure the file is removed, so that no stale report stays
    // behind, and SaveError is thrown.
    static void save(const RunReport& report, const std::filesystem::path& folder);

    // The report of an operation that was still running when the application
    // ended, offered once: it is marked interrupted and saved again (a failed
    // save throws SaveError), and its identity is remembered under
    // "reportedInterruptedRun". A report that is there but cannot be read
    // offers nothing; `unreadable`, when given, then gets the reason.
    static std::optional<RunReport> pendingInterruptedRun(const std::filesystem::path& folder,
                                                          core::PreferenceStore& defaults,
                                                          std::string* unreadable = nullptr);

    // The report as text for the feedback mail.
    std::string summary() const;
};

std::string toString(RunReport::Outcome outcome);
std::optional<RunReport::Outcome> outcomeFromString(const std::string& text);

}  // namespace tessaron::pipeline
