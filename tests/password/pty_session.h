// The program run on a pseudo-terminal that is its controlling terminal, driven like a person
// at the keyboard: wait for a text, type an answer.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace zipsalvage::testing {

struct PtySession {
    pid_t pid = -1;
    int master = -1;
    int slave = -1;          // kept open here, so the terminal's settings can be read at the end
    std::string transcript;  // everything the program wrote to the terminal
    size_t seen = 0;         // how far expect has matched

    PtySession() = default;
    ~PtySession();
    PtySession(const PtySession&) = delete;
    PtySession& operator=(const PtySession&) = delete;
};

// The pseudo-terminal's width, and whether standard error goes to it (where the progress bar
// is drawn) rather than to the log.
struct TerminalSetup {
    int columns = 80;
    bool errorsOnTerminal = false;
};

// Starts the program in a new session whose controlling terminal is a fresh pseudo-terminal;
// stdin is /dev/null and stdout and stderr go to `logPath`, so the terminal shows only what
// the program writes to /dev/tty (and to stderr, with `errorsOnTerminal`).
bool startOnTerminal(PtySession& session, const std::vector<std::string>& arguments,
                     const std::string& logPath, const TerminalSetup& setup = {});

// Waits (up to 20 s) until `text` appears after what was matched before; moves past it.
bool expectText(PtySession& session, const std::string& text);

// Types `keys` at the terminal.
void typeKeys(PtySession& session, const std::string& keys);

// Waits (up to 60 s, then kills) for the program to end; exit status or 128 + signal.
int finishSession(PtySession& session);

// Whether the terminal echoes typed characters right now.
bool terminalEchoes(const PtySession& session);

}  // namespace zipsalvage::testing
