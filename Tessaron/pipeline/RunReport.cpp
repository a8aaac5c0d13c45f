#include "pipeline/RunReport.hpp"

#include <nlohmann/json.hpp>

#include "core/AtomicFile.hpp"
#include "core/Error.hpp"
#include "core/NumberText.hpp"

namespace tessaron::pipeline {

namespace {

using OrderedJson = nlohmann::ordered_json;

core::TimePoint decodeDate(const OrderedJson& value, const char* key) {
    if (!value.is_string()) throw core::Error(std::string("last_run.json: \"") + key + "\" is not a date");
    auto parsed = core::parseISO8601(value.get<std::string>());
    if (!parsed) throw core::Error(std::string("last_run.json: \"") + key + "\" is not an ISO-8601 date");
    return *parsed;
}

const OrderedJson& requireKey(const OrderedJson& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end()) throw core::Error(std::string("last_run.json: missing \"") + key + "\"");
    return *found;
}

std::string requireString(const OrderedJson& object, const char* key) {
    const OrderedJson& value = requireKey(object, key);
    if (!value.is_string()) throw core::Error(std::string("last_run.json: \"") + key + "\" is not a string");
    return value.get<std::string>();
}

}  // namespace

std::string RunReport::memoryLimitText(double gigabytes) { return core::fixedText(gigabytes, 0) + " GB"; }

std::vector<RunReport::Setting> RunReport::settingsSummary(const RunSettings& settings,
                                                          const std::function<std::string(int64_t)>& groupedCount) {
    std::string modelSize = groupedCount ? groupedCount(settings.modelSize) : std::string();
    if (modelSize.empty()) modelSize = core::groupedDigits(settings.modelSize);
    std::vector<Setting> rows = {
        {"Model size", modelSize},
        {"Downscale", settings.downscale == 0 ? "Auto" : std::to_string(settings.downscale) + "\u00d7"},
        {"Eval", settings.eval ? "on" : "off"},
        {"Memory limit", memoryLimitText(settings.ramLimitGB)},
        {"Partitioning", settings.partitioning ? "on" : "off"},
    };
    if (settings.skipSfM) rows.push_back({"Skip COLMAP", "on"});
    return rows;
}

std::string toString(RunReport::Outcome outcome) {
    switch (outcome) {
    case RunReport::Outcome::running: return "running";
    case RunReport::Outcome::completed: return "completed";
    case RunReport::Outcome::failed: return "failed";
    case RunReport::Outcome::cancelled: return "cancelled";
    case RunReport::Outcome::interrupted: return "interrupted";
    }
    return "running";
}

std::optional<RunReport::Outcome> outcomeFromString(const std::string& text) {
    for (auto outcome : {RunReport::Outcome::running, RunReport::Outcome::completed, RunReport::Outcome::failed,
                         RunReport::Outcome::cancelled, RunReport::Outcome::interrupted})
        if (toString(outcome) == text) return outcome;
    return std::nullopt;
}

std::string RunReport::encode() const {
    OrderedJson json;
    json["kind"] = kind;
    json["startedAt"] = core::iso8601Text(startedAt);
    json["input"] = input;
    json["settings"] = OrderedJson::array();
    for (const Setting& setting : settings) json["settings"].push_back({{"name", setting.name}, {"value", setting.value}});
    json["step"] = step;
    json["outcome"] = toString(outcome);
    if (error) json["error"] = *error;
    if (endedAt) json["endedAt"] = core::iso8601Text(*endedAt);
    if (!warnings.empty()) json["warnings"] = warnings;
    return json.dump();
}

RunReport RunReport::decode(const std::string& text) {
    OrderedJson json = OrderedJson::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) throw core::Error("last_run.json: not a JSON object");
    RunReport report;
    report.kind = requireString(json, "kind");
    report.startedAt = decodeDate(requireKey(json, "startedAt"), "startedAt");
    report.input = requireString(json, "input");
    const OrderedJson& settings = requireKey(json, "settings");
    if (!settings.is_array()) throw core::Error("last_run.json: \"settings\" is not an array");
    for (const OrderedJson& setting : settings) {
        if (!setting.is_object()) throw core::Error("last_run.json: a setting is not an object");
        report.settings.push_back({requireString(setting, "name"), requireString(setting, "value")});
    }
    report.step = requireString(json, "step");
    auto outcome = outcomeFromString(requireString(json, "outcome"));
    if (!outcome) throw core::Error("last_run.json: unknown \"outcome\"");
    report.outcome = *outcome;
    if (auto found = json.find("error"); found != json.end()) {
        if (!found->is_string()) throw core::Error("last_run.json: \"error\" is not a string");
        report.error = found->get<std::string>();
    }
    if (auto found = json.find("endedAt"); found != json.end()) report.endedAt = decodeDate(*found, "endedAt");
    if (auto found = json.find("warnings"); found != json.end()) {
        if (!found->is_array()) throw core::Error("last_run.json: \"warnings\" is not an array");
        for (const OrderedJson& warning : *found) {
            if (!warning.is_string()) throw core::Error("last_run.json: a warning is not a string");
            report.warnings.push_back(warning.get<std::string>());
        }
    }
    return report;
}

RunReport RunReport::load(const std::filesystem::path& folder) {
    return decode(core::readWholeFile(folder / fileName, maximumFileBytes));
}

void RunReport::save(const RunReport& report, const std::filesystem::path& folder) {
    std::filesystem::path file = folder / fileName;
    try {
        std::filesystem::create_directories(folder);
        core::AtomicFile::write(file, report.encode());
    } catch (const std::exception& error) {
        // A report that cannot be written must not leave an older one behind.
        std::error_code ignored;
        std::filesystem::remove(file, ignored);
        throw SaveError("Could not save the run report " + file.string() + ": " + error.what());
    }
}

std::optional<RunReport> RunReport::pendingInterruptedRun(const std::filesystem::path& folder,
                                                          core::PreferenceStore& defaults, std::string* unreadable) {
    RunReport report;
    std::error_code missing;
    if (std::filesystem::symlink_status(folder / fileName, missing).type() == std::filesystem::file_type::not_found)
        return std::nullopt;
    try {
        report = load(folder);
    } catch (const std::exception& error) {
        if (unreadable) *unreadable = error.what();
        return std::nullopt;  // a report we cannot read: nothing to offer
    }
    if (report.outcome != Outcome::running) return std::nullopt;
    std::string identity = core::iso8601Text(report.startedAt) + " " + report.kind;
    if (defaults.string(reportedInterruptedRunKey) == identity) return std::nullopt;
    defaults.setString(reportedInterruptedRunKey, identity);
    report.outcome = Outcome::interrupted;
    save(report, folder);
    return report;
}

std::string RunReport::summary() const {
    std::string first = "Last run: " + kind + ", started " + core::formatDate(startedAt, "%Y-%m-%d %H:%M");
    if (endedAt) {
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(*endedAt - startedAt).count();
        long long minutes = std::max<long long>(1, seconds / 60);
        first += ", ran " + std::to_string(minutes) + " min";
    }
    first += " — ";
    switch (outcome) {
    case Outcome::running: first += "still running at " + step; break;
    case Outcome::completed: first += "completed"; break;
    case Outcome::failed: first += "failed at " + step; break;
    case Outcome::cancelled: first += "cancelled at " + step; break;
    case Outcome::interrupted: first += "Tessaron closed unexpectedly at " + step; break;
    }
    std::string text = first;
    if (error) text += "\nError: " + *error;
    for (const std::string& warning : warnings) text += "\nWarning: " + warning;
    text += "\nInput: " + input;
    if (!settings.empty()) {
        text += "\nSettings: ";
        for (size_t index = 0; index < settings.size(); ++index) {
            if (index > 0) text += " · ";
            text += settings[index].name + " " + settings[index].value;
        }
    }
    return text;
}

}  // namespace tessaron::pipeline
