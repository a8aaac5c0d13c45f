#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/DateText.hpp"

namespace tessaron::pipeline {

// The Markdown header of a run log and the facts it records about the build
// and the machine, plus the name of the workspace copy.
struct RunLogHeader {
    core::TimePoint started;
    std::string version;
    std::string build;
    std::string gpuName;
    int64_t memoryGB = 0;  // physical memory, whole GiB
    std::string operatingSystem;

    // Reads the build and the machine now.
    static RunLogHeader current(core::TimePoint started = core::Clock::now());

    // "# Tessaron Training Log", "", "Started: <UTC> +0000",
    // "Build: v (b) | GPU: g | RAM: n GB | OS: name", "", "---", "", each
    // line ended by a line feed.
    std::string text() const;

    // The name of the first GPU the kernel reports: NVIDIA's driver model
    // name from /proc/driver/nvidia, else the DRM driver and PCI id of the
    // first /sys/class/drm card; "unknown GPU" when there is none.
    static std::string systemGPUName();
    // PRETTY_NAME of /etc/os-release, else the kernel's name and release.
    static std::string systemOperatingSystem();
    // The PRETTY_NAME value of an os-release text, quotes and escapes removed.
    static std::optional<std::string> prettyName(std::string_view osRelease);

    // "yyyy-MM-dd_HHmmss_" (local time) + the first six characters of
    // `uuidText` + "_training.md".
    static std::string workspaceLogFileName(core::TimePoint now, const std::string& uuidText);
    // A fresh random (version 4) UUID in upper-case string form.
    static std::string newUUIDText();
};

}  // namespace tessaron::pipeline
