#pragma once

// Helpers of the partitioned-run, resume, re-merge and subdivision tests.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace tessaron::testing {

// The sum of the Gaussians the merge's per-cell lines report as kept:
// "Cell <i>: <n> → ... → <kept> kept (<share>)...".
inline int64_t keptInMergeLog(const std::vector<std::string>& lines) {
    int64_t total = 0;
    for (const std::string& line : lines) {
        if (!line.starts_with("Cell ")) continue;
        const size_t kept = line.find(" kept (");
        if (kept == std::string::npos) continue;
        const size_t start = line.rfind(' ', kept - 1);
        total += std::strtoll(line.c_str() + start + 1, nullptr, 10);
    }
    return total;
}

}  // namespace tessaron::testing
