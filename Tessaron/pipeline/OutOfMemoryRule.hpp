#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace tessaron::pipeline {

// When a failed cell counts as having run out of memory, and how its
// sub-cells are sized. Stateless.
struct OutOfMemoryRule {
    // Only the end of the engine's output is looked at.
    static constexpr size_t examinedLineCount = 200;
    // A cell this deep is not split again: at most 64 cells per plan cell.
    static constexpr int64_t maximumDepth = 3;

    // Whether one of the engine's memory messages occurs, in any case, in
    // the last examinedLineCount lines.
    static bool mentionsOutOfMemory(const std::vector<std::string>& outputLines);
    // A PLY check failure never counts; an engine killed by signal 9 always
    // does; otherwise the output decides.
    static bool isOutOfMemory(const std::exception_ptr& error, const std::vector<std::string>& outputLines);
    // A quarter of a large parent's cap; at most 50,000 and never more than
    // the parent's for a small one.
    static int64_t subCellCap(int64_t parentCap);
};

}  // namespace tessaron::pipeline
