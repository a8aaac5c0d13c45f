#include "app/QuitSignals.hpp"

#include <QSocketNotifier>
#include <QTimer>

#include <atomic>

#include <csignal>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace tessaron::app {
namespace {

int signalSockets[2] = {-1, -1};
std::atomic<bool> eventLoopRunning{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read in a signal handler");

extern "C" void forwardSignal(int signal) {
    if (!eventLoopRunning.load()) {
        // The default action: the process ends by this signal.
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
        ::raise(signal);
        return;
    }
    const char byte = 1;
    // Only async-signal-safe calls here; a full pipe drops the byte, and one
    // pending request is enough.
    [[maybe_unused]] ssize_t written = ::write(signalSockets[0], &byte, 1);
}

}  // namespace

QuitSignals::QuitSignals(QObject* parent) : QObject(parent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalSockets) != 0)
        throw std::runtime_error("cannot create the signal socket pair");
    notifier_ = new QSocketNotifier(signalSockets[1], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char buffer[16];
        while (::read(signalSockets[1], buffer, sizeof buffer) > 0) {
        }
        emit quitRequested();
    });
    // The first pass of the event loop: from then on a byte is read.
    QTimer::singleShot(0, this, [] { eventLoopRunning.store(true); });
    struct sigaction action {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT})
        if (::sigaction(signal, &action, nullptr) != 0)
            throw std::runtime_error("cannot install the handler of signal " + std::to_string(signal));
}

QuitSignals::~QuitSignals() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGTERM, SIGINT}) ::sigaction(signal, &action, nullptr);
    eventLoopRunning.store(false);
    delete notifier_;
    notifier_ = nullptr;
    for (int& socket : signalSockets) {
        if (socket >= 0) ::close(socket);
        socket = -1;
    }
}

}  // namespace tessaron::app
