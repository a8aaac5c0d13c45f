#include "pipeline/RunLogHeader.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

#include "core/ResourceLocator.hpp"
#include "engines/DatasetProfile.hpp"
#include "engines/MachineFacts.hpp"

namespace tessaron::pipeline {

namespace fs = std::filesystem;

namespace {

std::optional<std::string> readSmallFile(const fs::path& path) {
    std::ifstream stream(path);
    if (!stream) return std::nullopt;
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

std::string trimmed(std::string_view text) {
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return "";
    size_t last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

// Entries of a folder whose names start with `prefix`, sorted; none when it
// cannot be listed.
std::vector<fs::path> sortedEntries(const fs::path& folder, std::string_view prefix) {
    std::vector<fs::path> entries;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if (it->path().filename().string().starts_with(prefix)) entries.push_back(it->path());
    std::sort(entries.begin(), entries.end());
    return entries;
}

// The value of "key: value" or "KEY=value" lines of a small text file.
std::optional<std::string> fieldValue(const std::string& text, std::string_view key, char separator) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        size_t at = line.find(separator);
        if (at == std::string::npos || trimmed(std::string_view(line).substr(0, at)) != key) continue;
        std::string value = trimmed(std::string_view(line).substr(at + 1));
        if (!value.empty()) return value;
    }
    return std::nullopt;
}

}  // namespace

RunLogHeader RunLogHeader::current(core::TimePoint started) {
    RunLogHeader header;
    header.started = started;
    header.version = core::ResourceLocator::version();
    header.build = core::ResourceLocator::build();
    header.gpuName = systemGPUName();
    header.memoryGB = engines::DatasetProfile::queryPhysicalMemoryGB();
    header.operatingSystem = systemOperatingSystem();
    return header;
}

std::string RunLogHeader::text() const {
    return "# Tessaron Training Log\n"
           "\n"
           "Started: " +
           core::formatDate(started, "%Y-%m-%d %H:%M:%S +0000", core::TimeZone::utc) +
           "\n"
           "Build: " +
           (version.empty() ? "?" : version) + " (" + (build.empty() ? "?" : build) + ") | GPU: " + gpuName +
           " | RAM: " + std::to_string(memoryGB) + " GB | OS: " + operatingSystem +
           "\n"
           "\n"
           "---\n"
           "\n";
}

std::string RunLogHeader::systemGPUName() {
    for (const fs::path& gpu : sortedEntries("/proc/driver/nvidia/gpus", ""))
        if (auto information = readSmallFile(gpu / "information"))
            if (auto model = fieldValue(*information, "Model", ':')) return *model;
    for (const fs::path& card : sortedEntries("/sys/class/drm", "card")) {
        // card0-HDMI-A-1 and the like are connectors of a card, not cards.
        if (card.filename().string().find('-') != std::string::npos) continue;
        auto uevent = readSmallFile(card / "device" / "uevent");
        if (!uevent) continue;
        auto driver = fieldValue(*uevent, "DRIVER", '=');
        if (!driver) continue;
        auto pciId = fieldValue(*uevent, "PCI_ID", '=');
        return pciId ? *driver + " (" + *pciId + ")" : *driver;
    }
    return "unknown GPU";
}

std::optional<std::string> RunLogHeader::prettyName(std::string_view osRelease) {
    return engines::MachineFacts::osReleaseValue(osRelease, "PRETTY_NAME");
}

std::string RunLogHeader::systemOperatingSystem() { return engines::MachineFacts::operatingSystemName(); }

std::string RunLogHeader::workspaceLogFileName(core::TimePoint now, const std::string& uuidText) {
    return core::fileStampText(now) + "_" + uuidText.substr(0, 6) + "_training.md";
}

std::string RunLogHeader::newUUIDText() {
    std::random_device entropy;
    std::array<uint8_t, 16> bytes{};
    for (uint8_t& byte : bytes) byte = uint8_t(entropy());
    bytes[6] = uint8_t((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = uint8_t((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    std::string text;
    char digits[3];
    for (size_t index = 0; index < bytes.size(); ++index) {
        if (index == 4 || index == 6 || index == 8 || index == 10) text += '-';
        std::snprintf(digits, sizeof digits, "%02X", bytes[index]);
        text += digits;
    }
    return text;
}

}  // namespace tessaron::pipeline
