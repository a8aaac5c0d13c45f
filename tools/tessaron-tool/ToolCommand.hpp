#pragma once

#include <functional>
#include <string>
#include <vector>

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

}  // namespace tessaron::tool
