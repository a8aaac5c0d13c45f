#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engines/TrainingLimits.hpp"

namespace tessaron::tool {

// One sub-command of the harness. Files register theirs with a static
// ToolCommand::Registration, so adding a command touches no shared list.
struct ToolCommand {
    std::string name;
    std::string usage;  // one line: arguments and what it does
    std::function<int(const std::vector<std::string>& arguments)> run;

    static std::vector<ToolCommand>& all();

    struct Registration {
        explicit Registration(ToolCommand command) { all().push_back(std::move(command)); }
    };
};

// Exit status 2 with a message on stderr: wrong arguments.
int usageError(const std::string& message);

// Options are range-checked before anything runs. Each answers a complaint
// naming the option ("--iterations must be at least 1 (got -1)"), or nothing.
std::optional<std::string> belowMinimum(const std::string& option, int64_t value, int64_t minimum);
// A training setting in its one range: "--iterations must be at most 1000000 (got 2000000)".
std::optional<std::string> outsideRange(const std::string& option, int64_t value,
                                        const engines::TrainingLimits::Range& range);
// A number of GB above 0 (and finite): "--ram-limit must be more than 0 GB (got -1)".
std::optional<std::string> notPositiveGB(const std::string& option, double value);

}  // namespace tessaron::tool
