// Ctrl-C, kill, a closed terminal (SIGHUP) and a log reader that went away (SIGPIPE, as in
// `zipsalvage x.zip | head`) all cancel the run in hand the same way, and end the program.
#pragma once

#include "core/run_flags.h"
#include "shell/console/password_prompt_tty.h"

namespace zipsalvage {

enum ExitStatus : int {
    kExitWhole = 0,
    kExitDamaged = 1,
    kExitNoRun = 2,
    kExitWriteFailed = 3,
    kExitSignalBase = 128,  // plus the signal's number
};

void installStopHandlers();

// True once a stop signal arrived; the program then starts nothing new.
bool stopSignalArrived();
// 128 plus the first stop signal's number (SIGINT's when none came).
int stoppedStatus();

// While it lives, a stop signal cancels the run of `flags`. Declared after the run, so that it
// goes first: a signal during start-up or shutdown reaches nothing that is not there.
struct SignalledRun {
    explicit SignalledRun(RunFlags& flags);
    ~SignalledRun();
    SignalledRun(const SignalledRun&) = delete;
    SignalledRun& operator=(const SignalledRun&) = delete;
};

// While it lives, a stop signal gives `terminal` its settings back at once (a password prompt
// may have echo off), whichever thread the signal lands on.
struct SignalledTerminal {
    explicit SignalledTerminal(PromptTerminal& terminal);
    ~SignalledTerminal();
    SignalledTerminal(const SignalledTerminal&) = delete;
    SignalledTerminal& operator=(const SignalledTerminal&) = delete;
};

}  // namespace zipsalvage
