#include <algorithm>
#include <cstdio>
#include <exception>
#include <iostream>

#include "ToolCommand.hpp"

namespace tessaron::tool {

std::vector<ToolCommand>& ToolCommand::all() {
    static std::vector<ToolCommand> commands;
    return commands;
}

int usageError(const std::string& message) {
    std::cerr << "tessaron-tool: " << message << "\n";
    return 2;
}

}  // namespace tessaron::tool

namespace {

void printUsage() {
    auto commands = tessaron::tool::ToolCommand::all();
    std::sort(commands.begin(), commands.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    std::cerr << "usage: tessaron-tool <command> [arguments]\n\ncommands:\n";
    for (const auto& command : commands) std::cerr << "  " << command.name << " " << command.usage << "\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "help") {
        printUsage();
        return argc < 2 ? 2 : 0;
    }
    std::string name = argv[1];
    std::vector<std::string> arguments(argv + 2, argv + argc);
    for (const auto& command : tessaron::tool::ToolCommand::all()) {
        if (command.name != name) continue;
        try {
            return command.run(arguments);
        } catch (const std::exception& error) {
            std::cerr << "tessaron-tool " << name << ": " << error.what() << "\n";
            return 1;
        }
    }
    std::cerr << "tessaron-tool: unknown command \"" << name << "\"\n";
    printUsage();
    return 2;
}
