#include "pipeline/RunLogHeader.hpp"

#include <array>
#include <cstdio>
#include <random>

#include "core/ResourceLocator.hpp"
#include "engines/DatasetProfile.hpp"
#include "engines/MachineFacts.hpp"

namespace tessaron::pipeline {

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

std::string RunLogHeader::systemGPUName() { return engines::MachineFacts::gpuName(); }

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
