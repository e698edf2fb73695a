// The console's password prompt: asks on the controlling terminal with echo off, and puts the
// terminal back however the prompt ends.
#pragma once

#include <termios.h>

#include <atomic>

#include "core/run_flags.h"
#include "extract/password_prompt.h"

namespace zipsalvage {

struct ConsoleUi;

// The controlling terminal the prompts ask on: opened on the first prompt and kept until
// releasePromptTerminal, since the stop-signal handler may restore its settings at any moment
// and its descriptor must not be closed under it. One for the program, shared by its runs.
struct PromptTerminal {
    int descriptor = -1;
    struct termios savedSettings {};
    std::atomic<bool> echoSilenced{false};
    PromptTerminal() = default;
    PromptTerminal(const PromptTerminal&) = delete;
    PromptTerminal& operator=(const PromptTerminal&) = delete;
};
static_assert(std::atomic<bool>::is_always_lock_free, "used inside a signal handler");

struct TerminalPromptContext {
    ConsoleUi* ui;             // its output lock keeps log lines and the progress bar out
    const RunFlags* flags;     // cancelRequested ends a prompt that is waiting for input
    PromptTerminal* terminal;  // where the prompt asks
    bool toldNoTerminal;       // the hint about -p is shown once
    bool passwordsGiven;       // -p was used: the hint does not ask for it again
};

// A PasswordDialog (context: TerminalPromptContext). Shows the entry's name, reads a line with
// echo off, keeps its first kPasswordBufferBytes - 1 bytes and tests them; a wrong one is reported
// and asked again. End of input on an empty line (Ctrl-D) skips the entry; Enter alone tries the
// empty password. Returns false (skip) at once when there is no controlling terminal or the run is
// cancelled; the first time without a terminal it says so on stderr, unless a password passed
// the entry's check (the entry is then kept with that password's bytes, not skipped).
bool askPasswordOnTerminal(void* context, const PasswordRequest& request, char* accepted);

// Gives the terminal its settings back if a prompt has echo off. Async-signal-safe (one atomic
// load and tcsetattr), so the interrupt handler calls it: echo returns the moment Ctrl-C is
// pressed, whichever thread the signal lands on.
void restoreTerminalNow(PromptTerminal& terminal);

// For the main thread once the worker has ended: restores the terminal if needed and closes it.
void releasePromptTerminal(PromptTerminal& terminal);

}  // namespace zipsalvage
