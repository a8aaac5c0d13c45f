#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <random>
#include <set>
#include <thread>

#include "core/Error.hpp"
#include "engines/ProcessRunner.hpp"
#include "support/TempDir.hpp"
#include "support/WaitUntil.hpp"

using namespace tessaron::engines;
using tessaron::core::CancellationError;
using tessaron::testing::TempDir;

namespace {

using Environment = std::optional<std::map<std::string, std::string>>;

struct RunOutcome {
    int32_t status = 0;
    std::vector<std::string> lines;
};

// Lines arrive one at a time on the runner's queue and never after `run`
// returns, so the vector needs no lock of its own.
RunOutcome runProgram(ProcessRunner& runner, const std::string& program, const std::vector<std::string>& arguments,
                      const Environment& environment = std::nullopt,
                      const std::optional<std::string>& workingDirectory = std::nullopt) {
    RunOutcome outcome;
    outcome.status = runner.run({.executablePath = program,
                                 .arguments = arguments,
                                 .workingDirectory = workingDirectory,
                                 .environment = environment},
                                [&outcome](const std::string& line) { outcome.lines.push_back(line); });
    return outcome;
}

RunOutcome runShell(ProcessRunner& runner, const std::string& script, const Environment& environment = std::nullopt) {
    return runProgram(runner, "/bin/sh", {"-c", script}, environment);
}

std::vector<std::string> numberLines(int first, int last) {
    std::vector<std::string> lines;
    for (int number = first; number <= last; ++number) lines.push_back(std::to_string(number));
    return lines;
}

}  // namespace

// --- Lines from real children -------------------------------------------------

struct ChildOutputCase {
    std::string name;
    std::string script;
    std::vector<std::string> lines;
};

void PrintTo(const ChildOutputCase& value, std::ostream* out) { *out << value.name; }

class ProcessRunnerOutput : public ::testing::TestWithParam<ChildOutputCase> {};

TEST_P(ProcessRunnerOutput, DeliversWholeLinesInOrder) {
    ProcessRunner runner;
    RunOutcome outcome = runShell(runner, GetParam().script);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.lines, GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Children, ProcessRunnerOutput,
    ::testing::Values(
        ChildOutputCase{"CrLfProgressAndUnterminatedTail",
                        R"(printf "a\r\nb\r\n"; printf "p1\rp2\rp3\n"; printf "tail")",
                        {"a", "b", "p1", "p2", "p3", "tail"}},
        ChildOutputCase{"EmptyLinesNeverDelivered", R"(printf "\n\n\r\n"; echo; echo x; echo)", {"x"}},
        ChildOutputCase{"LineEndSplitAcrossWrites", R"(printf 'one\r'; sleep 0.05; printf '\ntwo\n')", {"one", "two"}},
        ChildOutputCase{"StandardErrorLinesToo", R"(echo err >&2)", {"err"}},
        ChildOutputCase{"StandardOutputIsNeverLimited", "seq 1 100000", numberLines(1, 100000)}),
    [](const auto& info) { return info.param.name; });

// The harness's run command, driven from outside as a reviewer would: the
// same lines, then the status.
class ToolRunCommand : public ::testing::TestWithParam<ChildOutputCase> {};

TEST_P(ToolRunCommand, PrintsEveryLineThenTheStatus) {
    ProcessRunner runner;
    RunOutcome outcome = runProgram(runner, TESSARON_TOOL_PATH, {"run", "--", "sh", "-c", GetParam().script});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.lines, GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, ToolRunCommand,
    ::testing::Values(ChildOutputCase{"LinesAndCleanExit",
                                      R"(printf "a\r\nb\r\n"; printf "p1\rp2\rp3\n"; printf "tail")",
                                      {"a", "b", "p1", "p2", "p3", "tail", "status 0"}},
                      ChildOutputCase{"KilledBySignalNine", "kill -9 $$", {"status -9"}}),
    [](const auto& info) { return info.param.name; });

TEST(ProcessRunner, ArgumentsReachTheChildUnchanged) {
    ProcessRunner runner;
    RunOutcome outcome = runProgram(runner, "/bin/sh", {"-c", R"(printf '[%s]\n' "$@")", "sh", "a b", "$HOME", "", "'q'"});
    EXPECT_EQ(outcome.lines, (std::vector<std::string>{"[a b]", "[$HOME]", "[]", "['q']"}));
}

TEST(ProcessRunner, ChildRunsInTheGivenWorkingDirectory) {
    TempDir folder;
    ProcessRunner runner;
    RunOutcome outcome = runProgram(runner, "/bin/pwd", {"-P"}, std::nullopt, folder.path().string());
    ASSERT_EQ(outcome.lines.size(), 1u);
    EXPECT_EQ(outcome.lines[0], std::filesystem::canonical(folder.path()).string());
}

TEST(ProcessRunner, FirstLineArrivesWhileTheChildStillRuns) {
    // The child only writes its unterminated second line after the test has
    // seen the first one, so the first cannot have waited for end of file.
    TempDir folder;
    const auto goFile = folder / "go";
    ProcessRunner runner;
    std::vector<std::string> lines;
    bool runningAtFirstLine = false;
    int32_t status = runner.run(
        {.executablePath = "/bin/sh",
         .arguments = {"-c", "printf 'first\\n'; while [ ! -e go ]; do sleep 0.01; done; printf 'second'"},
         .workingDirectory = folder.path().string()},
        [&](const std::string& line) {
            if (lines.empty()) {
                runningAtFirstLine = runner.isRunning();
                tessaron::testing::writeTextFile(goFile, "");
            }
            lines.push_back(line);
        });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(runningAtFirstLine);
    EXPECT_EQ(lines, (std::vector<std::string>{"first", "second"}));
    EXPECT_FALSE(runner.isRunning());
}

TEST(ProcessRunner, PidCallbackGetsTheChildsPid) {
    ProcessRunner runner;
    std::atomic<int32_t> launchedPid = 0;
    std::atomic<int> pidCalls = 0;
    std::vector<std::string> lines;
    runner.run({.executablePath = "/bin/sh", .arguments = {"-c", "echo $$"}},
        [&](const std::string& line) { lines.push_back(line); },
        [&](int32_t pid) {
            launchedPid = pid;
            ++pidCalls;
        });
    EXPECT_EQ(pidCalls.load(), 1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], std::to_string(launchedPid.load()));
}

TEST(ProcessRunner, PidCallbackFailureSurfacesAfterTheChildEnded) {
    ProcessRunner runner;
    std::vector<std::string> lines;
    EXPECT_THROW(runner.run({.executablePath = "/bin/sh", .arguments = {"-c", "echo done"}},
                     [&](const std::string& line) { lines.push_back(line); },
                     [](int32_t) { throw std::runtime_error("registration failed"); }),
                 std::runtime_error);
    EXPECT_EQ(lines, std::vector<std::string>{"done"});
    EXPECT_FALSE(runner.isRunning());
}

// --- Status ----------------------------------------------------------------------

struct StatusCase {
    std::string name;
    std::string script;
    int32_t status;
};

void PrintTo(const StatusCase& value, std::ostream* out) { *out << value.name; }

class ProcessRunnerStatus : public ::testing::TestWithParam<StatusCase> {};

TEST_P(ProcessRunnerStatus, IsExitCodeOrNegatedSignal) {
    ProcessRunner runner;
    EXPECT_EQ(runShell(runner, GetParam().script).status, GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(Endings, ProcessRunnerStatus,
                         ::testing::Values(StatusCase{"CleanExit", "exit 0", 0}, StatusCase{"ExitThree", "exit 3", 3},
                                           StatusCase{"KilledByItself", "kill -9 $$", -9},
                                           StatusCase{"Terminated", "kill -TERM $$", -15}),
                         [](const auto& info) { return info.param.name; });

// --- Standard-error limit ----------------------------------------------------------

TEST(ProcessRunnerStderrLimit, BurstDeliversTwoHundredThenTheNoticeBeforeTheNextBatch) {
    ProcessRunner runner;
    // seq writes its whole output at exit: one batch of 250 lines.
    RunOutcome outcome = runShell(runner, "seq 1 250 >&2; sleep 1.2; echo next >&2; echo after >&2");
    std::vector<std::string> expected = numberLines(1, 200);
    expected.push_back("[stderr: 50 lines suppressed in last second]");
    expected.push_back("next");
    expected.push_back("after");
    EXPECT_EQ(outcome.lines, expected);
}

TEST(ProcessRunnerStderrLimit, SuppressedBurstFollowedBySilenceNeverReportsTheCount) {
    ProcessRunner runner;
    RunOutcome outcome = runShell(runner, "seq 1 250 >&2");
    EXPECT_EQ(outcome.lines, numberLines(1, 200));
    // A later run starts a fresh window; the old count is discarded.
    RunOutcome nextRun = runShell(runner, "echo fresh >&2; sleep 1.1; echo later >&2");
    EXPECT_EQ(nextRun.lines, (std::vector<std::string>{"fresh", "later"}));
}

// --- Environment -------------------------------------------------------------------

TEST(ProcessRunner, EnvironmentDropsInheritedTrevikVariablesButKeepsTheCallersOwn) {
    ::setenv("TREVIK_INHERITED", "drop", 1);
    ::setenv("TESSARON_INHERITED", "keep", 1);
    ::setenv("TESSARON_OVERRIDDEN", "old", 1);
    ProcessRunner runner;
    auto variables = [](const RunOutcome& outcome) { return std::set<std::string>(outcome.lines.begin(), outcome.lines.end()); };

    auto inherited = variables(runProgram(runner, "/usr/bin/env", {}));
    EXPECT_EQ(inherited.count("TREVIK_INHERITED=drop"), 0u);
    EXPECT_EQ(inherited.count("TESSARON_INHERITED=keep"), 1u);
    EXPECT_EQ(inherited.count("TESSARON_OVERRIDDEN=old"), 1u);

    auto overlaid = variables(runProgram(
        runner, "/usr/bin/env", {}, std::map<std::string, std::string>{{"TREVIK_PASSED", "yes"}, {"TESSARON_OVERRIDDEN", "new"}}));
    EXPECT_EQ(overlaid.count("TREVIK_PASSED=yes"), 1u);
    EXPECT_EQ(overlaid.count("TREVIK_INHERITED=drop"), 0u);
    EXPECT_EQ(overlaid.count("TESSARON_OVERRIDDEN=new"), 1u);
    EXPECT_EQ(overlaid.count("TESSARON_OVERRIDDEN=old"), 0u);
    EXPECT_EQ(overlaid.count("TESSARON_INHERITED=keep"), 1u);

    ::unsetenv("TREVIK_INHERITED");
    ::unsetenv("TESSARON_INHERITED");
    ::unsetenv("TESSARON_OVERRIDDEN");
}

TEST(ProcessRunner, ChildInheritsNoneOfTheRunnersPipes) {
    // Whatever the child holds beyond 0..2 must be something this process
    // deliberately leaves inheritable (descriptors without close-on-exec).
    std::set<std::string> inheritable;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        int fd = std::stoi(entry.path().filename().string());
        int flags = ::fcntl(fd, F_GETFD);
        if (fd > 2 && flags >= 0 && (flags & FD_CLOEXEC) == 0) {
            std::error_code error;
            inheritable.insert(std::filesystem::read_symlink(entry.path(), error).string());
        }
    }
    ProcessRunner runner;
    RunOutcome outcome = runShell(runner, R"(for f in /proc/$$/fd/*; do n=${f##*/}; [ "$n" -gt 2 ] && readlink "$f"; done; true)");
    for (const auto& target : outcome.lines) EXPECT_EQ(inheritable.count(target), 1u) << "leaked " << target;
}

TEST(ProcessRunner, ChildStartsWithDefaultSignalHandling) {
    // This process ignores SIGTERM and blocks SIGINT; the child must not.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    ::sigaction(SIGTERM, &ignore, &previous);
    sigset_t blocked, previousMask;
    ::sigemptyset(&blocked);
    ::sigaddset(&blocked, SIGINT);
    ::pthread_sigmask(SIG_BLOCK, &blocked, &previousMask);

    ProcessRunner runner;
    int32_t terminated = runShell(runner, "kill -TERM $$; sleep 5").status;
    int32_t interrupted = runShell(runner, "kill -INT $$; sleep 5").status;

    ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    ::sigaction(SIGTERM, &previous, nullptr);
    EXPECT_EQ(terminated, -15);
    EXPECT_EQ(interrupted, -2);
}

// --- Launch failures ----------------------------------------------------------------

TEST(ProcessRunnerLaunch, FailuresCarryTheSystemsDescriptionAndStartNothing) {
    TempDir folder;
    const auto notExecutable = folder / "plain.txt";
    tessaron::testing::writeTextFile(notExecutable, "#!/bin/sh\n");
    struct FailureCase {
        std::string program;
        std::optional<std::string> workingDirectory;
        int code;
        std::string description;
    };
    const std::vector<FailureCase> cases = {
        {(folder / "missing").string(), std::nullopt, ENOENT, (folder / "missing").string() + ": No such file or directory"},
        {notExecutable.string(), std::nullopt, EACCES, notExecutable.string() + ": Permission denied"},
        {"/bin/sh", (folder / "nowhere").string(), ENOENT, (folder / "nowhere").string() + ": No such file or directory"},
    };
    ProcessRunner runner;
    for (const auto& failure : cases) {
        bool pidReported = false;
        bool outputSeen = false;
        try {
            runner.run({.executablePath = failure.program,
                        .arguments = {"-c", "echo hi"},
                        .workingDirectory = failure.workingDirectory},
                [&](const std::string&) { outputSeen = true; }, [&](int32_t) { pidReported = true; });
            ADD_FAILURE() << "launch of " << failure.program << " did not fail";
        } catch (const ProcessRunner::ProcessError& error) {
            EXPECT_EQ(error.kind(), ProcessRunner::ErrorKind::launchFailed);
            EXPECT_EQ(error.systemCode(), failure.code);
            EXPECT_EQ(std::string(error.what()), failure.description);
        }
        EXPECT_FALSE(pidReported);
        EXPECT_FALSE(outputSeen);
        EXPECT_FALSE(runner.isRunning());
    }
    // A failed launch leaves the runner usable.
    EXPECT_EQ(runShell(runner, "echo ok").lines, std::vector<std::string>{"ok"});
}

TEST(ProcessRunnerLaunch, UnusableOptionsAreRefusedBeforeAnythingStarts) {
    TempDir folder;
    const auto marker = folder / "ran";
    const std::vector<std::string> touch{"-c", "touch '" + marker.string() + "'"};
    struct RefusedCase {
        ProcessRunner::Options options;
        std::string message;
    };
    const std::vector<RefusedCase> cases = {
        {{.arguments = touch}, "Process option executablePath is empty"},
        {{.executablePath = std::string("/bin/sh\0x", 9), .arguments = touch},
         "Process option executablePath contains a NUL character"},
        // A NUL would end the argument early: "-c" with "touch '…'" cut to "touch".
        {{.executablePath = "/bin/sh", .arguments = {"-c", std::string("true\0", 5) + touch[1]}},
         "Process option arguments[1] contains a NUL character"},
        {{.executablePath = "/bin/sh", .arguments = touch, .workingDirectory = ""},
         "Process option workingDirectory is empty"},
        {{.executablePath = "/bin/sh", .arguments = touch, .environment = std::map<std::string, std::string>{{"", "x"}}},
         "Process option environment has a variable without a name"},
        {{.executablePath = "/bin/sh",
          .arguments = touch,
          .environment = std::map<std::string, std::string>{{"PATH=/tmp:X", "y"}}},
         "Process option environment has a variable name with \"=\": PATH=/tmp:X"},
        {{.executablePath = "/bin/sh",
          .arguments = touch,
          .environment = std::map<std::string, std::string>{{"A", std::string("1\0", 2)}}},
         "Process option environment has a variable with a NUL character"},
    };
    ProcessRunner runner;
    for (const auto& refused : cases) {
        bool pidReported = false;
        try {
            runner.run(refused.options, [](const std::string&) {}, [&](int32_t) { pidReported = true; });
            ADD_FAILURE() << "no error for " << refused.message;
        } catch (const ProcessRunner::OptionsError& error) {
            EXPECT_EQ(std::string(error.what()), refused.message);
        }
        EXPECT_FALSE(pidReported);
        EXPECT_FALSE(std::filesystem::exists(marker)) << refused.message;
    }
    // Options that pass the check run as given.
    EXPECT_NO_THROW(ProcessRunner::Options({.executablePath = "/bin/sh", .arguments = touch}).check());
    EXPECT_EQ(runner.run({.executablePath = "/bin/sh", .arguments = touch}, [](const std::string&) {}), 0);
    EXPECT_TRUE(std::filesystem::exists(marker));
}

// --- Cancellation ---------------------------------------------------------------------

namespace {

// Runs `script` on a worker thread and returns once its first line arrived.
struct BackgroundRun {
    std::promise<void> firstLine;
    std::future<int32_t> status;
    std::atomic<bool> sawLine = false;

    BackgroundRun(ProcessRunner& runner, const std::string& script) {
        status = std::async(std::launch::async, [this, &runner, script] {
            return runner.run({.executablePath = "/bin/sh", .arguments = {"-c", script}}, [this](const std::string&) {
                if (!sawLine.exchange(true)) firstLine.set_value();
            });
        });
        firstLine.get_future().wait();
    }
};

}  // namespace

TEST(ProcessRunnerCancel, CancelDuringRunTerminatesAndLatchRefusesTheNextLaunch) {
    TempDir folder;
    ProcessRunner runner;
    BackgroundRun background(runner, "echo started; exec sleep 30");
    EXPECT_TRUE(runner.isRunning());
    runner.cancel();
    EXPECT_EQ(background.status.get(), -15);
    EXPECT_FALSE(runner.isRunning());

    const auto marker = folder / "marker";
    bool pidReported = false;
    EXPECT_THROW(runner.run({.executablePath = "/bin/sh", .arguments = {"-c", "touch '" + marker.string() + "'"}},
                            [](const std::string&) {}, [&](int32_t) { pidReported = true; }),
                 CancellationError);
    EXPECT_FALSE(pidReported);
    EXPECT_FALSE(std::filesystem::exists(marker));

    runner.resetCancel();
    EXPECT_EQ(runShell(runner, "touch '" + marker.string() + "'").status, 0);
    EXPECT_TRUE(std::filesystem::exists(marker));
}

TEST(ProcessRunnerCancel, CancelBeforeRunThrowsAtOnceWithoutOutput) {
    ProcessRunner runner;
    EXPECT_FALSE(runner.isRunning());
    runner.cancel();
    bool outputSeen = false;
    EXPECT_THROW(runner.run({.executablePath = "/bin/sh", .arguments = {"-c", "echo hi"}},
                            [&](const std::string&) { outputSeen = true; }),
                 CancellationError);
    EXPECT_FALSE(outputSeen);
}

TEST(ProcessRunnerCancel, KillEndsTheChildWithSignalNine) {
    ProcessRunner runner;
    BackgroundRun background(runner, "echo started; exec sleep 30");
    runner.kill();
    EXPECT_EQ(background.status.get(), -9);
    EXPECT_THROW(runShell(runner, "true"), CancellationError);
}

TEST(ProcessRunnerCancel, CancelRacingLaunchEitherRefusesOrTerminates) {
    ProcessRunner runner;
    std::mt19937 random(12345);
    int refused = 0;
    int terminated = 0;
    for (int round = 0; round < 60; ++round) {
        runner.resetCancel();
        auto delay = std::chrono::microseconds(random() % 600);
        std::jthread canceller([&runner, delay] {
            std::this_thread::sleep_for(delay);
            runner.cancel();
        });
        try {
            int32_t status =
                runner.run({.executablePath = "/bin/sleep", .arguments = {"30"}}, [](const std::string&) {});
            EXPECT_EQ(status, -15);
            ++terminated;
        } catch (const CancellationError&) {
            ++refused;
        }
        canceller.join();
        EXPECT_FALSE(runner.isRunning());
    }
    EXPECT_EQ(refused + terminated, 60);
}

// --- Descendants holding the pipes -------------------------------------------------

TEST(ProcessRunnerDrain, GrandchildHoldingThePipeEndsTheRunAfterTheDrainLimit) {
    tessaron::testing::TempDir folder("tessaron-drain");
    const std::string returnedFlag = (folder / "returned").string();
    const std::string grandchildPid = (folder / "grandchild.pid").string();
    ProcessRunner runner;
    std::atomic<bool> returned = false;
    std::atomic<int> lateCalls = 0;
    std::vector<std::string> lines;
    auto started = std::chrono::steady_clock::now();
    // The background subshell keeps standard output open past the limit and
    // writes once the run has returned (or, should the run wait for it, after
    // a minute); that line must never reach the caller.
    const std::string script = "(i=0; while [ ! -e '" + returnedFlag +
                               "' ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done; echo late) & echo $! > '" +
                               grandchildPid + "'; echo first; exit 4";
    int32_t status = runner.run({.executablePath = "/bin/sh", .arguments = {"-c", script}}, [&](const std::string& line) {
        if (returned) ++lateCalls;
        lines.push_back(line);
    });
    returned = true;
    auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(status, 4);
    EXPECT_GE(elapsed, std::chrono::milliseconds(9500));
    tessaron::testing::writeTextFile(returnedFlag, "");
    const pid_t grandchild = pid_t(std::stol(tessaron::testing::readTextFile(grandchildPid)));
    // Ended: gone, or a zombie that whoever adopted it has not reaped yet.
    EXPECT_TRUE(tessaron::testing::waitUntil([&] {
        std::ifstream statFile("/proc/" + std::to_string(grandchild) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
        return stat.empty() || stat.find(") Z ") != std::string::npos;
    }));
    EXPECT_EQ(lateCalls.load(), 0);
    EXPECT_EQ(lines, std::vector<std::string>{"first"});
}
