#pragma once

#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace tessaron::pipeline {

// How one cell's training ended: no failure, or what it threw, with every
// engine line of the cell for the out-of-memory decision.
struct CellTrainingOutcome {
    std::exception_ptr failure;
    std::vector<std::string> outputLines;
};

// The engine's evaluation PSNR: the last line that reads as
// "psnr[=: ]+<number>", any case.
std::optional<double> parsePSNR(const std::vector<std::string>& lines);

}  // namespace tessaron::pipeline
