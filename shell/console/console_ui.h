// The terminal face of a run: log lines on stdout, a progress bar on stderr, message boxes as
// "Caption: text" lines, questions as y/N prompts.
#pragma once

#include <mutex>
#include <string>

#include "engine/salvage_run.h"

namespace zipsalvage {

struct ConsoleUi {
    bool assumeYes = false;
    bool progressVisible = false;
    bool progressOnTerminal = false;  // stderr is a terminal
    int lastProgress = -1;
    std::mutex outputLock;  // log lines, progress and prompts come from two threads
};

// Wires `ui` into the run's callbacks.
void attachConsoleUi(SalvageRun& run, ConsoleUi& ui);

// Clears the progress bar line, if one is shown.
void clearProgress(ConsoleUi& ui);

// Asks a yes/no question on the controlling terminal; false without one (or on end of input).
bool askYesNo(const char* question);

// Reads one line from the controlling terminal after showing `prompt`; false without one.
bool readTerminalLine(const char* prompt, std::string& line);

}  // namespace zipsalvage
