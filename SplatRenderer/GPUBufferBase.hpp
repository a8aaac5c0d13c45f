#pragma once

#include <cstdint>

#include "core/Error.hpp"

namespace splatrenderer {

// What every GPUBuffer<T> shares: its error type and its log line.
class GPUBufferBase {
public:
    enum class ErrorKind { capacityGreatedThanMaxCapacity, bufferCreationFailed };
    class Error : public tessaron::core::ErrorOf<ErrorKind> {
    public:
        // "Failed to create GPU buffer".
        Error();
        // "Requested GPU buffer size (<requested>) exceeds device maximum (<max>)".
        Error(std::int64_t requested, std::int64_t max);
        std::int64_t requested() const noexcept { return requested_; }
        std::int64_t max() const noexcept { return max_; }

    private:
        std::int64_t requested_ = 0;
        std::int64_t max_ = 0;
    };

protected:
    static void logAllocation(std::int64_t stride, std::int64_t count);
};

}  // namespace splatrenderer
