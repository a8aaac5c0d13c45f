// Sub-commands that drive the process runner and the process monitor.
#include <cstdio>
#include <iostream>

#include "ToolCommand.hpp"
#include "core/ResourceLocator.hpp"
#include "engines/ProcessRunner.hpp"

namespace tessaron::tool {
namespace {

// run [--] <program> [arguments...]: a program name without a slash is looked
// up like the application looks up its outside programs (bundle, build tree,
// then PATH).
int runCommand(const std::vector<std::string>& arguments) {
    size_t first = (!arguments.empty() && arguments.front() == "--") ? 1 : 0;
    if (first >= arguments.size()) return usageError("run needs a program to run");
    std::string program = arguments[first];
    if (program.find('/') == std::string::npos) {
        auto found = core::ResourceLocator::findExecutable(program, true);
        if (!found) return usageError("run: no executable named \"" + program + "\" found");
        program = found->string();
    }
    std::vector<std::string> programArguments(arguments.begin() + std::ptrdiff_t(first) + 1, arguments.end());

    engines::ProcessRunner runner;
    int32_t status = runner.run(program, programArguments, std::nullopt, std::nullopt, [](const std::string& line) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    });
    std::printf("status %d\n", status);
    return 0;
}

const ToolCommand::Registration runRegistration({
    "run",
    "-- <program> [arguments...]   run a program through ProcessRunner; print each line, then its status",
    runCommand,
});

}  // namespace
}  // namespace tessaron::tool
