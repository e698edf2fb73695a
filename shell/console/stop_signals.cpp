// The stop-signal handler and what it may reach: atomics only, set by the owners above.
#include "shell/console/stop_signals.h"

#include <atomic>
#include <csignal>

#include "shell/console/console_ui.h"

namespace zipsalvage {
namespace {

// The first stop signal, for the exit status.
std::atomic<int> stopSignal{0};
// The flags of the run that a stop signal cancels, and the terminal it restores; null outside
// their owners' lifetimes. The handler may run on either thread: on the main thread it cannot
// overlap a run's end, and the worker, the only other thread, has been joined before the run
// goes.
std::atomic<RunFlags*> signalledFlags{nullptr};
std::atomic<PromptTerminal*> signalledTerminal{nullptr};
static_assert(std::atomic<int>::is_always_lock_free, "used inside a signal handler");
static_assert(std::atomic<RunFlags*>::is_always_lock_free, "used inside a signal handler");
static_assert(std::atomic<PromptTerminal*>::is_always_lock_free, "used inside a signal handler");

extern "C" void onStopSignal(int signalNumber) {
    // Only atomic loads and stores and tcsetattr: safe inside a signal handler. A password
    // prompt may have echo off; the terminal gets it back now rather than when the worker
    // notices.
    int none = 0;
    stopSignal.compare_exchange_strong(none, signalNumber);
    if (RunFlags* flags = signalledFlags.load(); flags != nullptr) requestCancel(*flags);
    noteStopSignalArrived();
    if (PromptTerminal* terminal = signalledTerminal.load(); terminal != nullptr) {
        restoreTerminalNow(*terminal);
    }
}

}  // namespace

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a prompt waiting for input is interrupted too
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        sigaction(signalNumber, &action, nullptr);
    }
}

bool stopSignalArrived() { return stopSignal.load() != 0; }

int stoppedStatus() {
    int signalNumber = stopSignal.load();
    return kExitSignalBase + (signalNumber != 0 ? signalNumber : SIGINT);
}

SignalledRun::SignalledRun(RunFlags& flags) {
    signalledFlags.store(&flags);
    // A signal that came before this run began cancels it too.
    if (stopSignalArrived()) requestCancel(flags);
}
SignalledRun::~SignalledRun() { signalledFlags.store(nullptr); }

SignalledTerminal::SignalledTerminal(PromptTerminal& terminal) {
    signalledTerminal.store(&terminal);
}
SignalledTerminal::~SignalledTerminal() { signalledTerminal.store(nullptr); }

}  // namespace zipsalvage
