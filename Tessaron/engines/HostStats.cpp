#include "engines/HostStats.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

namespace tessaron::engines {

namespace {

std::optional<std::string> readSmallFile(const std::filesystem::path& file) {
    std::ifstream stream(file);
    if (!stream) return std::nullopt;
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

// The unsigned decimal numbers of `text`, separated by blanks; stops at the
// first field that is not one.
template <size_t Count>
size_t readCounters(std::string_view text, std::array<uint64_t, Count>& counters) {
    size_t read = 0;
    size_t position = 0;
    while (read < Count) {
        position = text.find_first_not_of(' ', position);
        if (position == std::string_view::npos) break;
        const char* begin = text.data() + position;
        auto [end, error] = std::from_chars(begin, text.data() + text.size(), counters[read]);
        if (error != std::errc() || end == begin) break;
        position += size_t(end - begin);
        ++read;
    }
    return read;
}

}  // namespace

HostStats::HostStats(std::filesystem::path procFolder) : procFolder_(std::move(procFolder)) {}

std::optional<HostStats::CPUTimes> HostStats::parseCPUTimes(std::string_view statText) {
    // "cpu  user nice system idle iowait irq softirq steal guest guest_nice";
    // guest time is already counted in user.
    if (!statText.starts_with("cpu ")) return std::nullopt;
    std::string_view line = statText.substr(4, statText.find('\n') - 4);
    std::array<uint64_t, 8> ticks{};
    if (readCounters(line, ticks) < 4) return std::nullopt;
    const auto [user, nice, system, idle, iowait, irq, softirq, steal] = ticks;
    (void)nice;
    CPUTimes times;
    times.busy = user + system + irq + softirq + steal;
    times.total = times.busy + idle + iowait;
    return times;
}

std::optional<HostStats::Memory> HostStats::parseMemory(std::string_view meminfoText) {
    auto kilobytes = [&](std::string_view key) -> std::optional<uint64_t> {
        size_t position = 0;
        while (position < meminfoText.size()) {
            size_t end = meminfoText.find('\n', position);
            std::string_view line = meminfoText.substr(position, end == std::string_view::npos ? end : end - position);
            if (line.starts_with(key) && line.size() > key.size() && line[key.size()] == ':') {
                std::array<uint64_t, 1> value{};
                if (readCounters(line.substr(key.size() + 1), value) == 1) return value[0];
                return std::nullopt;
            }
            if (end == std::string_view::npos) break;
            position = end + 1;
        }
        return std::nullopt;
    };
    const auto total = kilobytes("MemTotal");
    const auto available = kilobytes("MemAvailable");
    if (!total || !available) return std::nullopt;
    Memory memory;
    memory.totalBytes = *total * 1024;
    memory.usedBytes = (*total > *available ? *total - *available : 0) * 1024;
    return memory;
}

std::optional<double> HostStats::sampleCPUPercent() {
    const auto text = readSmallFile(procFolder_ / "stat");
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
    const auto text = readSmallFile(procFolder_ / "meminfo");
    if (!text) return std::nullopt;
    return parseMemory(*text);
}

}  // namespace tessaron::engines
