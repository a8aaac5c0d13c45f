#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace splatformats::testing {

struct CommandResult {
    int status = -1;
    std::string output;  // stdout and stderr together
};

inline std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Runs a program with its arguments (each passed as one argument) and
// collects what it prints.
inline CommandResult runCommand(const std::vector<std::string>& arguments) {
    std::string command;
    for (const auto& argument : arguments) command += shellQuoted(argument) + " ";
    command += "2>&1";
    CommandResult result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return result;
    std::array<char, 4096> buffer{};
    std::size_t count = 0;
    while ((count = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) result.output.append(buffer.data(), count);
    int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// splat-transform from PATH, else where the set-up script installs it.
inline std::optional<std::filesystem::path> splatTransformPath() {
    if (const char* path = std::getenv("PATH")) {
        std::stringstream folders(path);
        std::string folder;
        while (std::getline(folders, folder, ':')) {
            auto candidate = std::filesystem::path(folder) / "splat-transform";
            if (!folder.empty() && std::filesystem::exists(candidate)) return candidate;
        }
    }
    auto installed = std::filesystem::path(TESSARON_SOURCE_DIR) / ".deps/splat-transform/node_modules/.bin/splat-transform";
    if (std::filesystem::exists(installed)) return installed;
    return std::nullopt;
}

}  // namespace splatformats::testing
