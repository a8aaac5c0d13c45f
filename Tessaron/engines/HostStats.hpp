#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

namespace tessaron::engines {

// The whole machine's processor load and memory use, from the kernel's
// `stat` and `meminfo` files.
//
// The load is the busy share of the time between two samples, not the
// average since boot, so the first sample yields nothing.
//
// Threads: one sampler per caller; the previous sample is its only state.
class HostStats {
public:
    // Cumulative tick counters of all processors together.
    struct CPUTimes {
        uint64_t busy = 0;   // user, system, interrupts, stolen (nice is left out)
        uint64_t total = 0;  // busy plus idle and I/O wait

        bool operator==(const CPUTimes&) const = default;
    };
    struct Memory {
        uint64_t usedBytes = 0;  // MemTotal − MemAvailable
        uint64_t totalBytes = 0;

        bool operator==(const Memory&) const = default;
    };

    // `procFolder` holds `stat` and `meminfo` (tests give a folder of their own).
    explicit HostStats(std::filesystem::path procFolder = "/proc");

    // The busy percentage (0 … 100) since the previous successful sample;
    // none on the first one, when the file cannot be read, or when no tick
    // passed.
    std::optional<double> sampleCPUPercent();
    std::optional<Memory> sampleMemory() const;

    // The aggregate "cpu" line of a stat text; none without one.
    static std::optional<CPUTimes> parseCPUTimes(std::string_view statText);
    // MemTotal and MemAvailable (kB) of a meminfo text; none without both.
    static std::optional<Memory> parseMemory(std::string_view meminfoText);

private:
    std::filesystem::path procFolder_;
    std::optional<CPUTimes> previous_;
};

}  // namespace tessaron::engines
