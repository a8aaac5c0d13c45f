// The machine's load and memory for the dashboard, every 2 s of an operation.

#include "viewmodel/PipelineViewModel.hpp"

namespace tessaron::viewmodel {

void PipelineViewModel::startTelemetryTimer() {
    telemetryTimer_.stop();
    telemetryTimer_.start(2000);
}

void PipelineViewModel::stopTelemetryTimer() { telemetryTimer_.stop(); }

void PipelineViewModel::sampleHostTelemetry() {
    if (const std::optional<double> percent = hostStats_.sampleCPUPercent()) setCpuUsage(*percent);
    if (const std::optional<engines::HostStats::Memory> memory = hostStats_.sampleMemory()) {
        constexpr double gibibyte = 1073741824.0;
        setRamUsageString(QString::asprintf("%.1f / %.0f GB", double(memory->usedBytes) / gibibyte,
                                            double(memory->totalBytes) / gibibyte));
    }
}

}  // namespace tessaron::viewmodel
