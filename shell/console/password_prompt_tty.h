// The console's password prompt: asks on the controlling terminal with echo off, and puts the
// terminal back however the prompt ends.
#pragma once

#include "core/run_flags.h"
#include "extract/password_prompt.h"

namespace zipsalvage {

struct ConsoleUi;

struct TerminalPromptContext {
    ConsoleUi* ui;          // its output lock keeps log lines and the progress bar out
    const RunFlags* flags;  // cancelRequested ends a prompt that is waiting for input
    bool toldNoTerminal;    // the hint about -p is shown once
    bool passwordsGiven;    // -p was used: the hint does not ask for it again
};

// A PasswordDialog (context: TerminalPromptContext). Shows the entry's name, reads a line with
// echo off, keeps its first kPasswordBufferBytes - 1 bytes and tests them; a wrong one is reported
// and asked again. End of input on an empty line (Ctrl-D) skips the entry; Enter alone tries the
// empty password. Returns 0 (skip) at once when there is no controlling terminal or the run is
// cancelled; the first time without a terminal it says so on stderr.
int askPasswordOnTerminal(void* context, const PasswordRequest& request, char* accepted);

// Gives the terminal its settings back if a prompt has echo off. Async-signal-safe (one atomic
// load and tcsetattr), so the interrupt handler calls it: echo returns the moment Ctrl-C is
// pressed, whichever thread the signal lands on.
void restoreTerminalNow();

// For the main thread once the worker has ended: restores the terminal if needed and closes it.
void releasePromptTerminal();

}  // namespace zipsalvage
