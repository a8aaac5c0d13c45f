#pragma once

#include <QString>
#include <QTimer>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>

#include "engines/HostStats.hpp"

namespace tessaron::viewmodel {

// The machine's load and memory for the dashboard, sampled every two
// seconds while an operation runs. The figures come from a source (the
// kernel's files, or a test's stand-in) and go to a sink; the sampler and
// its timer belong to the thread that created it.
class HostTelemetrySampler {
public:
    struct Source {
        // Busy share since the previous call, 0 … 100; none when unknown.
        std::function<std::optional<double>()> cpuPercent;
        std::function<std::optional<engines::HostStats::Memory>()> memory;
    };
    struct Sample {
        std::optional<double> cpuPercent;
        std::optional<QString> ramUsage;  // "<used> / <total> GB"
    };
    using Sink = std::function<void(const Sample& sample)>;

    static constexpr std::chrono::milliseconds interval{2000};

    // `stat` and `meminfo` of `procFolder`.
    static Source hostSource(const std::filesystem::path& procFolder);

    HostTelemetrySampler(Source source, Sink sink);
    HostTelemetrySampler(const HostTelemetrySampler&) = delete;
    HostTelemetrySampler& operator=(const HostTelemetrySampler&) = delete;

    // (Re)starts the two-second samples; the first comes after one interval.
    void start();
    void stop() { timer_.stop(); }
    bool isActive() const { return timer_.isActive(); }
    // One sample, handed to the sink.
    void sample();

    // "12.3 / 32 GB": used to a tenth, total whole, in GiB.
    static QString ramUsageText(const engines::HostStats::Memory& memory);

private:
    Source source_;
    Sink sink_;
    QTimer timer_;
};

}  // namespace tessaron::viewmodel
