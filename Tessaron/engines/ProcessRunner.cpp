#include "engines/ProcessRunner.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <thread>

#include "core/TextLines.hpp"

extern char** environ;

namespace tessaron::engines {

using core::TextLines;

namespace {

std::string systemDescription(int code) { return std::strerror(code); }

// A file descriptor closed when it goes out of scope.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { close(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            close();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    int get() const noexcept { return fd_; }
    // A close error on a pipe end loses nothing we could still act on.
    void close() noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

struct Pipe {
    FileDescriptor readEnd;
    FileDescriptor writeEnd;
};

// Both ends close on exec, so no child inherits them except through the
// explicit dup2 onto its descriptors 1 and 2.
Pipe makePipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        int code = errno;
        throw ProcessRunner::ProcessError(ProcessRunner::ErrorKind::launchFailed, code,
                                          "Could not create a pipe: " + systemDescription(code));
    }
    return {FileDescriptor(ends[0]), FileDescriptor(ends[1])};
}

// The readers still running; the run waits for it to reach zero, with a
// deadline, so that a reader stuck on a pipe a descendant holds open cannot hold the run.
class ReaderCount {
public:
    explicit ReaderCount(int count) : remaining_(count) {}
    void leave() {
        {
            std::lock_guard lock(mutex_);
            --remaining_;
        }
        changed_.notify_all();
    }
    void waitUntil(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        changed_.wait_until(lock, deadline, [this] { return remaining_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int remaining_;
};

using LineBatchHandler = std::function<void(std::shared_ptr<const TextLines> lines)>;

void deliverChunk(std::string_view bytes, const LineBatchHandler& onLines) {
    auto lines = std::make_shared<const TextLines>(bytes);
    if (!lines->empty()) onLines(std::move(lines));
}

// Reads one pipe until end of file or until `stopFd` becomes readable, handing
// every chunk that ends in a CR or LF byte to `onLines`. A stopped reader
// delivers nothing more: its run has closed the gate already.
void readPipe(int fd, int stopFd, const LineBatchHandler& onLines, ReaderCount& readers) {
    std::string buffer;
    std::array<char, 64 * 1024> chunk;
    bool stopped = false;
    for (;;) {
        std::array<pollfd, 2> watched{{{fd, POLLIN, 0}, {stopFd, POLLIN, 0}}};
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;  // cannot happen with valid descriptors; treat as end of file
        }
        if (watched[1].revents != 0) {
            stopped = true;
            break;
        }
        ssize_t count = ::read(fd, chunk.data(), chunk.size());
        if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (count <= 0) break;  // end of file; a read error on a pipe ends the stream too
        size_t scanFrom = buffer.size();
        buffer.append(chunk.data(), size_t(count));
        // Only the new bytes can hold a new line end.
        size_t cut = core::endOfLastLineBreak(buffer, scanFrom);
        if (cut == 0) continue;
        deliverChunk(std::string_view(buffer).substr(0, cut), onLines);
        buffer.erase(0, cut);
    }
    if (!stopped && !buffer.empty()) deliverChunk(buffer, onLines);
    readers.leave();
}

// The two pipe readers of one run and the pipe that stops them. Destruction
// stops whatever still reads and joins, so no reader outlives its run.
class PipeReaders {
public:
    PipeReaders() : stop_(makePipe()) {}
    ~PipeReaders() { stopAndJoin(); }
    PipeReaders(const PipeReaders&) = delete;
    PipeReaders& operator=(const PipeReaders&) = delete;

    void start(int fd, const LineBatchHandler& onLines, ReaderCount& readers) {
        threads_.emplace_back([fd, stopFd = stop_.readEnd.get(), onLines, &readers] {
            readPipe(fd, stopFd, onLines, readers);
        });
    }

    void stopAndJoin() {
        if (stop_.writeEnd.get() >= 0) {
            // Closing the write end makes the read end readable (end of
            // file) for every reader polling it.
            stop_.writeEnd.close();
        }
        for (auto& thread : threads_) {
            if (thread.joinable()) thread.join();
        }
        threads_.clear();
    }

private:
    Pipe stop_;
    std::vector<std::jthread> threads_;
};

bool hasTrevikPrefix(const std::string& name) { return name.rfind("TREVIK_", 0) == 0; }

std::map<std::string, std::string> environmentWithoutTrevikKeys() {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        size_t equals = text.find('=');
        if (equals == std::string_view::npos) continue;  // not a variable
        std::string name(text.substr(0, equals));
        if (hasTrevikPrefix(name)) continue;
        variables.emplace(std::move(name), std::string(text.substr(equals + 1)));
    }
    return variables;
}

}  // namespace

// Lines of one run pass through it; the run closes it (on the queue) before it
// returns, so a line read later is dropped instead of reaching the caller.
struct ProcessRunner::Delivery {
    bool isOpen = true;  // touched only on stderrQueue_
    OutputHandler onOutput;
    std::string line;  // reused for every line, so delivery allocates nothing per line

    void operator()(std::string_view text) {
        if (!isOpen || !onOutput) return;
        // Resizing to the length the last line had is free; assign() is not.
        line.resize(text.size());
        std::memcpy(line.data(), text.data(), text.size());
        onOutput(line);
    }
};

// Everything a launch needs, prepared before the launch lock is taken.
struct ProcessRunner::LaunchPlan {
    std::string executablePath;
    std::optional<std::string> workingDirectory;
    std::vector<std::string> argumentStorage;
    std::vector<std::string> environmentStorage;
    std::vector<char*> argv;
    std::vector<char*> envp;
    int outputFd;
    int errorFd;
    pid_t parent = ::getpid();

    LaunchPlan(const std::string& path, const std::vector<std::string>& arguments,
               const std::optional<std::string>& directory,
               const std::optional<std::map<std::string, std::string>>& environment, int outputFd, int errorFd)
        : executablePath(path), workingDirectory(directory), outputFd(outputFd), errorFd(errorFd) {
        argumentStorage.push_back(executablePath);
        argumentStorage.insert(argumentStorage.end(), arguments.begin(), arguments.end());
        std::map<std::string, std::string> variables = environmentWithoutTrevikKeys();
        if (environment) {
            for (const auto& [name, value] : *environment) variables.insert_or_assign(name, value);
        }
        for (const auto& [name, value] : variables) environmentStorage.push_back(name + "=" + value);
        for (auto& argument : argumentStorage) argv.push_back(argument.data());
        argv.push_back(nullptr);
        for (auto& variable : environmentStorage) envp.push_back(variable.data());
        envp.push_back(nullptr);
    }

    // Runs in the forked child: only async-signal-safe calls, nothing that
    // allocates. Returns only on failure, with errno set.
    void execInChild() const {
        // The child ends with us, even when we are killed with SIGKILL and
        // cannot stop it ourselves. The signal is tied to the thread that
        // forks: run() keeps that thread waiting until the child has ended.
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) return;
        // We may have died before the line above took effect.
        if (::getppid() != parent) {
            errno = ESRCH;
            return;
        }
        // No blocked signals and every disposition at its default, whatever
        // this process set up for itself.
        struct sigaction defaults {};
        defaults.sa_handler = SIG_DFL;
        for (int signal = 1; signal < NSIG; ++signal)
            if (signal != SIGKILL && signal != SIGSTOP) ::sigaction(signal, &defaults, nullptr);
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (::dup2(outputFd, STDOUT_FILENO) < 0 || ::dup2(errorFd, STDERR_FILENO) < 0) return;
        if (workingDirectory && ::chdir(workingDirectory->c_str()) != 0) return;
        ::execve(executablePath.c_str(), argv.data(), envp.data());
    }
};

ProcessRunner::ProcessRunner() : stderrWindowStart_(std::chrono::steady_clock::now()) {}

ProcessRunner::~ProcessRunner() = default;

void ProcessRunner::resetStderrWindow() {
    stderrWindowStart_ = std::chrono::steady_clock::now();
    stderrWindowCount_ = 0;
    stderrSuppressed_ = 0;
}

void ProcessRunner::Options::check() const {
    auto refuse = [](const std::string& field, const std::string& why) {
        throw OptionsError("Process option " + field + " " + why);
    };
    // The system reads these as C strings: a NUL would silently cut them short.
    auto hasNul = [](const std::string& text) { return text.find('\0') != std::string::npos; };
    if (executablePath.empty()) refuse("executablePath", "is empty");
    if (hasNul(executablePath)) refuse("executablePath", "contains a NUL character");
    for (size_t index = 0; index < arguments.size(); ++index)
        if (hasNul(arguments[index])) refuse("arguments[" + std::to_string(index) + "]", "contains a NUL character");
    if (workingDirectory && workingDirectory->empty()) refuse("workingDirectory", "is empty");
    if (workingDirectory && hasNul(*workingDirectory)) refuse("workingDirectory", "contains a NUL character");
    if (!environment) return;
    for (const auto& [name, value] : *environment) {
        if (name.empty()) refuse("environment", "has a variable without a name");
        if (hasNul(name) || hasNul(value)) refuse("environment", "has a variable with a NUL character");
        // "A=B" as a name would set A, not the variable asked for.
        if (name.find('=') != std::string::npos) refuse("environment", "has a variable name with \"=\": " + name);
    }
}

int32_t ProcessRunner::run(const Options& options, OutputHandler onOutput, PidHandler onPidLaunched) {
    options.check();
    stderrQueue_.sync([this] { resetStderrWindow(); });

    Pipe outputPipe = makePipe();
    Pipe errorPipe = makePipe();
    LaunchPlan plan(options.executablePath, options.arguments, options.workingDirectory, options.environment,
                    outputPipe.writeEnd.get(), errorPipe.writeEnd.get());

    auto delivery = std::make_shared<Delivery>();
    delivery->onOutput = std::move(onOutput);

    // Standard output is never limited; standard error passes the window
    // limit. Both hand their batches to the one queue, in arrival order.
    LineBatchHandler onOutputLines = [this, delivery](std::shared_ptr<const TextLines> lines) {
        stderrQueue_.async([delivery, lines = std::move(lines)] {
            size_t position = 0;
            std::string_view line;
            while (lines->next(position, line)) (*delivery)(line);
        });
    };
    LineBatchHandler onErrorLines = [this, delivery](std::shared_ptr<const TextLines> lines) {
        stderrQueue_.async([this, delivery, lines = std::move(lines)] { deliverStderrLines(*lines, *delivery); });
    };

    // The readers start before the launch so that nothing can fail between
    // a launched child and its readers; until the launch they see nothing.
    ReaderCount readers(2);
    PipeReaders pipeReaders;
    pipeReaders.start(outputPipe.readEnd.get(), onOutputLines, readers);
    pipeReaders.start(errorPipe.readEnd.get(), onErrorLines, readers);

    pid_t pid;
    {
        std::lock_guard lock(launchLock_);
        pid = launch(plan);
    }
    // Only the child (and its descendants) hold the write ends now, so the
    // readers see end of file once they have all closed them.
    outputPipe.writeEnd.close();
    errorPipe.writeEnd.close();

    std::exception_ptr pidHandlerError;
    if (onPidLaunched) {
        try {
            onPidLaunched(int32_t(pid));
        } catch (...) {
            pidHandlerError = std::current_exception();
        }
    }

    int32_t status = 0;
    std::exception_ptr waitError;
    try {
        status = awaitTermination(pid);
    } catch (...) {
        waitError = std::current_exception();
    }

    readers.waitUntil(std::chrono::steady_clock::now() + kDrainLimit);
    // Every batch enqueued before this point reaches the caller; whatever a
    // reader still hands over after it meets the closed gate.
    stderrQueue_.sync([&delivery] { delivery->isOpen = false; });
    pipeReaders.stopAndJoin();
    // Let the dropped batches of stopped readers run now, so no work item of
    // this run (and no copy of the caller's handler) outlives it.
    stderrQueue_.sync([] {});

    if (waitError) std::rethrow_exception(waitError);
    if (pidHandlerError) std::rethrow_exception(pidHandlerError);
    return status;
}

pid_t ProcessRunner::launch(LaunchPlan& plan) {
    if (cancelLatched_) throw core::CancellationError();
    // The child reports a failed exec (or set-up) through this pipe; a
    // successful exec closes it empty.
    Pipe failure = makePipe();
    pid_t pid = ::fork();
    if (pid < 0) {
        int code = errno;
        throw ProcessError(ErrorKind::launchFailed, code, plan.executablePath + ": " + systemDescription(code));
    }
    if (pid == 0) {
        plan.execInChild();
        int code = errno;
        [[maybe_unused]] ssize_t written = ::write(failure.writeEnd.get(), &code, sizeof code);
        ::_exit(127);
    }
    failure.writeEnd.close();
    int result = 0;
    ssize_t count;
    do count = ::read(failure.readEnd.get(), &result, sizeof result);
    while (count < 0 && errno == EINTR);
    if (count > 0) {
        int ignored;
        while (::waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {}
        // The same error code comes back for a missing program and a missing
        // working directory; name the one that is actually wrong.
        std::string subject = plan.executablePath;
        std::error_code unused;
        if (plan.workingDirectory && !std::filesystem::is_directory(*plan.workingDirectory, unused))
            subject = *plan.workingDirectory;
        throw ProcessError(ErrorKind::launchFailed, result, subject + ": " + systemDescription(result));
    }
    process_ = pid;
    processRunning_ = true;
    return pid;
}

int32_t ProcessRunner::awaitTermination(pid_t pid) {
    // Wait for the end without reaping, so the pid cannot be reused while
    // cancel() or kill() may still signal it; reap only after marking the
    // child ended under the lock.
    siginfo_t info{};
    while (::waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT) != 0) {
        if (errno == EINTR) continue;
        int code = errno;
        std::lock_guard lock(launchLock_);
        processRunning_ = false;
        throw ProcessError(ErrorKind::childLost, code,
                           "Lost track of child process " + std::to_string(pid) + ": " + systemDescription(code));
    }
    {
        std::lock_guard lock(launchLock_);
        processRunning_ = false;
    }
    int waitStatus = 0;
    while (::waitpid(pid, &waitStatus, 0) < 0) {
        if (errno == EINTR) continue;
        int code = errno;
        throw ProcessError(ErrorKind::childLost, code,
                           "Lost track of child process " + std::to_string(pid) + ": " + systemDescription(code));
    }
    if (WIFSIGNALED(waitStatus)) return -int32_t(WTERMSIG(waitStatus));
    return int32_t(WEXITSTATUS(waitStatus));
}

void ProcessRunner::deliverStderrLines(const TextLines& lines, Delivery& delivery) {
    auto now = std::chrono::steady_clock::now();
    // The window is checked once per batch: a whole batch counts against the
    // window current when it arrived.
    if (now - stderrWindowStart_ >= kStderrWindow) {
        if (stderrSuppressed_ >= 1) {
            delivery("[stderr: " + std::to_string(stderrSuppressed_) + " lines suppressed in last second]");
            stderrSuppressed_ = 0;
        }
        stderrWindowStart_ = now;
        stderrWindowCount_ = 0;
    }
    size_t position = 0;
    std::string_view line;
    while (lines.next(position, line)) {
        ++stderrWindowCount_;
        if (stderrWindowCount_ <= kStderrLinesPerWindow) {
            delivery(line);
        } else {
            ++stderrSuppressed_;
        }
    }
}

void ProcessRunner::resetCancel() {
    std::lock_guard lock(launchLock_);
    cancelLatched_ = false;
}

void ProcessRunner::cancel() { signalRunningChild(SIGTERM); }

void ProcessRunner::kill() { signalRunningChild(SIGKILL); }

void ProcessRunner::signalRunningChild(int signalNumber) {
    std::lock_guard lock(launchLock_);
    cancelLatched_ = true;
    // Not yet reaped while marked running, so the pid is still ours.
    if (process_ && processRunning_) ::kill(*process_, signalNumber);
}

bool ProcessRunner::isRunning() const {
    std::lock_guard lock(launchLock_);
    return process_.has_value() && processRunning_;
}

}  // namespace tessaron::engines
