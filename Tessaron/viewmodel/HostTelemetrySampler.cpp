#include "viewmodel/HostTelemetrySampler.hpp"

#include <memory>
#include <utility>

namespace tessaron::viewmodel {

HostTelemetrySampler::Source HostTelemetrySampler::hostSource(const std::filesystem::path& procFolder) {
    // The load is a difference between two readings: one HostStats keeps
    // the previous one for both functions.
    auto stats = std::make_shared<engines::HostStats>(procFolder);
    return {[stats] { return stats->sampleCPUPercent(); }, [stats] { return stats->sampleMemory(); }};
}

HostTelemetrySampler::HostTelemetrySampler(Source source, Sink sink)
    : source_(std::move(source)), sink_(std::move(sink)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { sample(); });
}

void HostTelemetrySampler::start() {
    timer_.stop();
    timer_.start(interval);
}

void HostTelemetrySampler::sample() {
    Sample sample;
    if (source_.cpuPercent) sample.cpuPercent = source_.cpuPercent();
    if (source_.memory)
        if (const std::optional<engines::HostStats::Memory> memory = source_.memory())
            sample.ramUsage = ramUsageText(*memory);
    sink_(sample);
}

QString HostTelemetrySampler::ramUsageText(const engines::HostStats::Memory& memory) {
    constexpr double gibibyte = 1073741824.0;
    return QString::asprintf("%.1f / %.0f GB", double(memory.usedBytes) / gibibyte,
                             double(memory.totalBytes) / gibibyte);
}

}  // namespace tessaron::viewmodel
