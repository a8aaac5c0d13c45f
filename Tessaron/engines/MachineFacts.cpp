#include "engines/MachineFacts.hpp"

#include <sys/utsname.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <cmath>
#include <sstream>
#include <vector>

#include "core/ProcFiles.hpp"

namespace tessaron::engines {

namespace {

namespace fs = std::filesystem;

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

std::optional<std::string> osRelease(std::string_view key) {
    for (const char* file : {"/etc/os-release", "/usr/lib/os-release"})
        if (auto text = core::procfiles::read(file)) return MachineFacts::osReleaseValue(*text, key);
    return std::nullopt;
}

}  // namespace

std::optional<std::string> MachineFacts::osReleaseValue(std::string_view osRelease, std::string_view key) {
    std::istringstream lines{std::string(osRelease)};
    const std::string prefix = std::string(key) + "=";
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with(prefix)) continue;
        std::string value = trimmed(std::string_view(line).substr(prefix.size()));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
            char quote = value.front();
            std::string inner = value.substr(1, value.size() - 2);
            value.clear();
            for (size_t index = 0; index < inner.size(); ++index) {
                // Shell-style escapes inside double quotes.
                if (quote == '"' && inner[index] == '\\' && index + 1 < inner.size()) ++index;
                value += inner[index];
            }
        }
        if (!value.empty()) return value;
    }
    return std::nullopt;
}

std::optional<std::string> MachineFacts::cpuModelName(std::string_view cpuinfo) {
    return core::procfiles::value(cpuinfo, "model name", ':');
}

std::string MachineFacts::gpuName() {
    for (const fs::path& gpu : sortedEntries("/proc/driver/nvidia/gpus", ""))
        if (auto information = core::procfiles::read(gpu / "information"))
            if (auto model = core::procfiles::value(*information, "Model", ':')) return *model;
    for (const fs::path& card : sortedEntries("/sys/class/drm", "card")) {
        // card0-HDMI-A-1 and the like are connectors of a card, not cards.
        if (card.filename().string().find('-') != std::string::npos) continue;
        auto uevent = core::procfiles::read(card / "device" / "uevent");
        if (!uevent) continue;
        auto driver = core::procfiles::value(*uevent, "DRIVER", '=');
        if (!driver) continue;
        auto pciId = core::procfiles::value(*uevent, "PCI_ID", '=');
        return pciId ? *driver + " (" + *pciId + ")" : *driver;
    }
    return "unknown GPU";
}

std::optional<std::array<int64_t, 3>> MachineFacts::dottedVersion(std::string_view text) {
    std::vector<std::string_view> pieces;
    for (size_t start = 0;;) {
        size_t dot = text.find('.', start);
        pieces.push_back(text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    if (pieces.empty() || pieces.size() > 3) return std::nullopt;
    std::array<int64_t, 3> version{0, 0, 0};
    for (size_t index = 0; index < pieces.size(); ++index) {
        std::string_view piece = pieces[index];
        if (piece.empty() || piece.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
        auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), version[index]);
        if (error != std::errc() || end != piece.data() + piece.size()) return std::nullopt;
    }
    return version;
}

std::string MachineFacts::model() {
    if (auto text = core::procfiles::read("/sys/devices/virtual/dmi/id/product_name")) {
        std::string name = trimmed(*text);
        if (!name.empty()) return name;
    }
    return "unknown";
}

std::string MachineFacts::processor() {
    if (auto text = core::procfiles::read("/proc/cpuinfo"))
        if (auto name = cpuModelName(*text)) return *name;
    return "unknown";
}

std::optional<std::string> MachineFacts::operatingSystemVersionID() { return osRelease("VERSION_ID"); }

std::string MachineFacts::operatingSystemName() {
    if (auto name = osRelease("PRETTY_NAME")) return *name;
    struct utsname system {};
    if (uname(&system) == 0) return std::string(system.sysname) + " " + system.release;
    return "Linux";
}

std::string MachineFacts::operatingSystem() {
    std::string name = operatingSystemName();
    auto versionID = operatingSystemVersionID();
    if (versionID && name.find(*versionID) == std::string::npos) return name + " " + *versionID;
    return name;
}

int64_t MachineFacts::roundedMemoryGB(uint64_t bytes) {
    return int64_t(std::llround(std::ldexp(double(bytes), -30)));
}

}  // namespace tessaron::engines
