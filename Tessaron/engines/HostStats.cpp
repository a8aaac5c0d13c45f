#include "engines/HostStats.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "core/ProcFiles.hpp"

namespace tessaron::engines {

HostStats::HostStats(std::filesystem::path procFolder) : procFolder_(std::move(procFolder)) {}

std::optional<HostStats::CPUTimes> HostStats::parseCPUTimes(std::string_view statText) {
    // "cpu  user nice system idle iowait irq softirq steal guest guest_nice";
    // guest time is already counted in user.
    if (!statText.starts_with("cpu ")) return std::nullopt;
    std::string_view line = statText.substr(4, statText.find('\n') - 4);
    std::vector<uint64_t> counters = core::procfiles::leadingNumbers(line, 8);
    if (counters.size() < 4) return std::nullopt;
    counters.resize(8);
    const uint64_t user = counters[0], system = counters[2], idle = counters[3], iowait = counters[4],
                   irq = counters[5], softirq = counters[6], steal = counters[7];
    CPUTimes times;
    times.busy = user + system + irq + softirq + steal;
    times.total = times.busy + idle + iowait;
    return times;
}

std::optional<HostStats::Memory> HostStats::parseMemory(std::string_view meminfoText) {
    const auto total = core::procfiles::number(meminfoText, "MemTotal");
    const auto available = core::procfiles::number(meminfoText, "MemAvailable");
    if (!total || !available) return std::nullopt;
    Memory memory;
    memory.totalBytes = *total * 1024;
    memory.usedBytes = (*total > *available ? *total - *available : 0) * 1024;
    return memory;
}

std::optional<double> HostStats::sampleCPUPercent() {
    const auto text = core::procfiles::read(procFolder_ / "stat");
    if (!text) return std::nullopt;
    const auto current = parseCPUTimes(*text);
    if (!current) return std::nullopt;
    const std::optional<CPUTimes> previous = std::exchange(previous_, current);
    // Counters only grow; a smaller one (a new boot's file in a test, a
    // wrapped counter) starts the measurement again.
    if (!previous || current->total <= previous->total || current->busy < previous->busy) return std::nullopt;
    const double busy = double(current->busy - previous->busy);
    const double total = double(current->total - previous->total);
    return std::min(100.0, busy / total * 100.0);
}

std::optional<HostStats::Memory> HostStats::sampleMemory() const {
    const auto text = core::procfiles::read(procFolder_ / "meminfo");
    if (!text) return std::nullopt;
    return parseMemory(*text);
}

}  // namespace tessaron::engines
