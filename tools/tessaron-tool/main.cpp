#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <iostream>

#include "ToolCommand.hpp"
#include "core/NumberText.hpp"

namespace tessaron::tool {

std::vector<ToolCommand>& ToolCommand::all() {
    static std::vector<ToolCommand> commands;
    return commands;
}

int usageError(const std::string& message) {
    std::cerr << "tessaron-tool: " << message << "\n";
    return 2;
}

std::optional<std::string> belowMinimum(const std::string& option, int64_t value, int64_t minimum) {
    if (value >= minimum) return std::nullopt;
    return option + " must be at least " + std::to_string(minimum) + " (got " + std::to_string(value) + ")";
}

std::optional<std::string> outsideRange(const std::string& option, int64_t value,
                                        const engines::TrainingLimits::Range& range) {
    if (auto tooSmall = belowMinimum(option, value, range.minimum)) return tooSmall;
    if (value <= range.maximum) return std::nullopt;
    return option + " must be at most " + std::to_string(range.maximum) + " (got " + std::to_string(value) + ")";
}

std::optional<std::string> notPositiveGB(const std::string& option, double value) {
    if (std::isfinite(value) && value > 0) return std::nullopt;
    return option + " must be more than 0 GB (got " + core::shortestText(value) + ")";
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

// Under LeakSanitizer: OpenSSL's per-thread state of Qt's network thread
// (the update check) outlives a short program's exit. Unused otherwise.
extern "C" const char* __lsan_default_suppressions() { return "leak:libcrypto.so\n"; }

int main(int argc, char** argv) {
    if (argc < 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "help") {
        printUsage();
        return argc < 2 ? 2 : 0;
    }
    // A command of two words ("pipeline resume") goes before the one-word
    // command of its first word.
    std::vector<std::string> words(argv + 1, argv + argc);
    for (size_t wordCount : {size_t(2), size_t(1)}) {
        if (words.size() < wordCount) continue;
        std::string name = words[0];
        if (wordCount == 2) name += " " + words[1];
        for (const auto& command : tessaron::tool::ToolCommand::all()) {
            if (command.name != name) continue;
            try {
                return command.run({words.begin() + std::ptrdiff_t(wordCount), words.end()});
            } catch (const std::exception& error) {
                std::cerr << "tessaron-tool " << name << ": " << error.what() << "\n";
                return 1;
            }
        }
    }
    std::cerr << "tessaron-tool: unknown command \"" << words[0] << "\"\n";
    printUsage();
    return 2;
}
