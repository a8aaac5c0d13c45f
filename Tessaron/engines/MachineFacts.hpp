#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessaron::engines {

// Facts about this computer for run logs and feedback diagnostics, read from
// the kernel's files and /etc/os-release. Nothing here throws: a fact that
// cannot be read is reported as unknown.
struct MachineFacts {
    // The DMI product name ("ThinkPad X1 Carbon Gen 9"); "unknown" without one.
    static std::string model();
    // The first "model name" of /proc/cpuinfo; "unknown" without one.
    static std::string processor();
    // The first GPU the kernel reports: NVIDIA's driver model name from
    // /proc/driver/nvidia, else the DRM driver and PCI id of the first
    // /sys/class/drm card; "unknown GPU" when there is none.
    static std::string gpuName();
    // PRETTY_NAME of os-release; the kernel's name and release without one.
    static std::string operatingSystemName();
    // The name with VERSION_ID added when the name does not already carry it.
    static std::string operatingSystem();
    // VERSION_ID of os-release ("12", "22.04"); none when absent.
    static std::optional<std::string> operatingSystemVersionID();

    // Physical memory in GiB, rounded to the nearest whole number.
    static int64_t roundedMemoryGB(uint64_t bytes);

    // The value of `key` in an os-release text, quotes and shell escapes
    // removed; none when the key is absent or its value empty.
    static std::optional<std::string> osReleaseValue(std::string_view osRelease, std::string_view key);
    // The first non-empty "model name" value of a /proc/cpuinfo text.
    static std::optional<std::string> cpuModelName(std::string_view cpuinfo);
    // `versionID` as up to three whole numbers joined by ".", padded with
    // zeros (major, minor, patch); none unless every piece is digits only,
    // fits 64 bits and there are one to three pieces.
    static std::optional<std::array<int64_t, 3>> dottedVersion(std::string_view text);
};

}  // namespace tessaron::engines
