// Sub-commands that drive the process runner, the process monitor and the
// host sampler.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>

#include "ToolCommand.hpp"
#include "core/NumberText.hpp"
#include "core/ResourceLocator.hpp"
#include "engines/HostStats.hpp"
#include "engines/ProcessMonitor.hpp"
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
    int32_t status = runner.run({.executablePath = program, .arguments = programArguments}, [](const std::string& line) {
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

// The command name of a process, as the tag it is watched under.
std::string processName(int32_t pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (!std::getline(comm, name) || name.empty()) name = "pid";
    return name;
}

// monitor [--pid P]... [--seconds S]: the application's own sample plus the
// given processes, one block of lines per published list.
int monitorCommand(const std::vector<std::string>& arguments) {
    std::vector<int32_t> pids;
    double seconds = 5;
    for (size_t index = 0; index < arguments.size(); ++index) {
        const std::string& option = arguments[index];
        if (index + 1 >= arguments.size()) return usageError("monitor: " + option + " needs a value");
        const std::string& value = arguments[++index];
        double number = 0;
        if (!core::parseDouble(value, number)) return usageError("monitor: " + value + " is not a number");
        if (option == "--pid" && number > 0 && number == double(int32_t(number))) {
            pids.push_back(int32_t(number));
        } else if (option == "--seconds" && number >= 0) {
            seconds = number;
        } else {
            return usageError("monitor: unexpected " + option + " " + value);
        }
    }

    std::mutex printMutex;
    engines::ProcessMonitor monitor;
    monitor.setOnSnapshots([&printMutex](const std::vector<engines::ProcessSnapshot>& list) {
        std::lock_guard lock(printMutex);
        for (const auto& snapshot : list) {
            std::printf("%s pid %d rss %llu cpu %s%% %s\n", snapshot.name.c_str(), snapshot.id,
                        static_cast<unsigned long long>(snapshot.rssBytes), core::fixedText(snapshot.cpuPercent, 1).c_str(),
                        snapshot.alive ? "alive" : "ended");
        }
        std::printf("\n");
        std::fflush(stdout);
    });
    monitor.start();
    for (int32_t pid : pids) monitor.watch(processName(pid), pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return 0;
}

const ToolCommand::Registration monitorRegistration({
    "monitor",
    "[--pid P]... [--seconds S]   print CPU and memory samples of this tool and the given processes each second",
    monitorCommand,
});

// host [--samples N]: the machine's load and memory, one line a second, as
// the dashboard shows them (the first line has no load yet).
int hostCommand(const std::vector<std::string>& arguments) {
    int samples = 3;
    if (arguments.size() == 2 && arguments[0] == "--samples") {
        samples = std::atoi(arguments[1].c_str());
        if (samples < 1) return usageError("host: --samples needs a positive count");
    } else if (!arguments.empty()) {
        return usageError("host takes only --samples N");
    }
    engines::HostStats stats;
    for (int sample = 0; sample < samples; ++sample) {
        if (sample > 0) std::this_thread::sleep_for(std::chrono::seconds(1));
        const auto load = stats.sampleCPUPercent();
        const auto memory = stats.sampleMemory();
        std::string line = load ? "cpu " + core::fixedText(*load, 1) + " %" : std::string("cpu -");
        if (memory)
            line += ", memory " + core::fixedText(double(memory->usedBytes) / 1073741824.0, 1) + " / " +
                    core::fixedText(double(memory->totalBytes) / 1073741824.0, 0) + " GB";
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    return 0;
}

const ToolCommand::Registration hostRegistration({
    "host",
    "[--samples N]   the machine's processor load and memory, one line a second",
    hostCommand,
});

}  // namespace
}  // namespace tessaron::tool
