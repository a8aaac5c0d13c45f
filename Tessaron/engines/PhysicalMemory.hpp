#pragma once

#include <cstdint>

namespace tessaron::engines {

// The machine's installed memory in bytes (0 when the system does not say).
// Callers round or floor it themselves: a 15.5 GiB machine must not read as 15.
uint64_t physicalMemoryBytes();

}  // namespace tessaron::engines
