#pragma once

// This test process's descendants as /proc lists them, zombies included: a
// child not yet waited for is not gone.

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace tessaron::testing {

// The command names of this process's descendants still in the process table.
inline std::vector<std::string> descendantNames() {
    namespace fs = std::filesystem;
    auto text = [](const fs::path& file) {
        std::ifstream stream(file);
        return std::string(std::istreambuf_iterator<char>(stream), {});
    };
    std::vector<std::pair<int, int>> parents;  // (pid, parent pid)
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = text(entry.path() / "stat");
        // "pid (comm) state ppid ...": the command may hold blanks and parentheses.
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        int parent = 0;
        char state = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) != 2) continue;
        parents.emplace_back(std::stoi(name), parent);
    }
    std::vector<int> family{int(::getpid())};
    std::vector<std::string> names;
    for (size_t index = 0; index < family.size(); ++index)
        for (const auto& [pid, parent] : parents)
            if (parent == family[index]) {
                family.push_back(pid);
                const std::string comm = text("/proc/" + std::to_string(pid) + "/comm");
                names.push_back(comm.substr(0, comm.find('\n')));
            }
    return names;
}

}  // namespace tessaron::testing
