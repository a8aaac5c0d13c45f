#include "SplatRenderer/GPUBufferBase.hpp"

#include <cstdio>
#include <string>

#include "SplatRenderer/RendererLog.hpp"

namespace splatrenderer {

GPUBufferBase::Error::Error() : ErrorOf(ErrorKind::bufferCreationFailed, "Failed to create GPU buffer") {}

GPUBufferBase::Error::Error(std::int64_t requested, std::int64_t max)
    : ErrorOf(ErrorKind::capacityGreatedThanMaxCapacity, "Requested GPU buffer size (" + std::to_string(requested) +
                                                             ") exceeds device maximum (" + std::to_string(max) + ")"),
      requested_(requested),
      max_(max) {}

void GPUBufferBase::logAllocation(std::int64_t stride, std::int64_t count) {
    // The size in MiB goes through a single-precision float, as a fixed
    // point number with 20 fraction bits would.
    const float mebibytes = float(stride * count) / 1048576.0f;
    char line[160];
    std::snprintf(line, sizeof line, "Allocating a new buffer of size %ld * %ld = %fmb", long(stride), long(count),
                  double(mebibytes));
    RendererLog::write(RendererLog::Level::info, "GPUBuffer", line);
}

}  // namespace splatrenderer
