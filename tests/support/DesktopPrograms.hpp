#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/TempDir.hpp"

namespace tessaron::testing {

// For one test, PATH holds only a folder of stand-ins for the desktop's
// programs (xdg-open, xdg-email): a program added with add() records the
// arguments of each call and ends with the given status; any other program
// is not found. PATH is put back afterwards.
class DesktopPrograms {
public:
    DesktopPrograms() {
        if (const char* old = std::getenv("PATH")) oldPath_ = old;
        std::filesystem::create_directories(folder_ / "bin");
        ::setenv("PATH", (folder_ / "bin").c_str(), 1);
    }
    ~DesktopPrograms() {
        if (oldPath_)
            ::setenv("PATH", oldPath_->c_str(), 1);
        else
            ::unsetenv("PATH");
    }
    DesktopPrograms(const DesktopPrograms&) = delete;
    DesktopPrograms& operator=(const DesktopPrograms&) = delete;

    void add(const std::string& name, int exitStatus) {
        const std::filesystem::path calls = folder_ / ("calls-" + name);
        std::filesystem::create_directories(calls);
        const std::filesystem::path program = folder_ / "bin" / name;
        // The shell's builtins and absolute paths: PATH holds nothing else.
        // A call's record shows whole or not at all.
        writeTextFile(program, "#!/bin/sh\ncalls='" + calls.string() +
                                   "'\ncount=0\nwhile [ -e \"$calls/$count\" ]; do count=$((count + 1)); done\n"
                                   "for argument in \"$@\"; do printf '%s\\0' \"$argument\"; done > \"$calls/.partial\"\n"
                                   "/bin/mv \"$calls/.partial\" \"$calls/$count\"\nexit " +
                                   std::to_string(exitStatus) + "\n");
        std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    }

    // Each call's arguments, in the order of the calls.
    std::vector<std::vector<std::string>> calls(const std::string& name) const {
        std::vector<std::vector<std::string>> result;
        for (int index = 0;; ++index) {
            const std::filesystem::path call = folder_ / ("calls-" + name) / std::to_string(index);
            if (!std::filesystem::exists(call)) break;
            std::string recorded = readTextFile(call);
            std::vector<std::string> arguments;
            for (size_t start = 0, end; (end = recorded.find('\0', start)) != std::string::npos; start = end + 1)
                arguments.push_back(recorded.substr(start, end - start));
            result.push_back(std::move(arguments));
        }
        return result;
    }

private:
    TempDir folder_{"tessaron-desktop"};
    std::optional<std::string> oldPath_;
};

}  // namespace tessaron::testing
