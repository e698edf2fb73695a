// The terminal face of a run: log lines on stdout (stderr when the report takes stdout), a
// progress bar on stderr, message boxes as "Caption: text" lines, questions as y/N prompts.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "engine/run/salvage_run.h"

namespace zipsalvage {

struct ConsoleUi {
    bool assumeYes = false;
    bool quiet = false;       // only ERROR and WARNING lines and the summary; no bar
    std::FILE* log = stdout;  // where log lines go
    std::string outputPath;   // the run's output, named when writing it fails
    bool progressVisible = false;
    bool progressOnTerminal = false;  // stderr is a terminal
    int lastProgress = -1;
    uint64_t totalBytes = 0;  // the archive's size, for "done of total", rate and time left
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    std::mutex outputLock;  // log lines, progress and prompts come from two threads
};

// Wires `ui` into the run's callbacks.
void attachConsoleUi(EntryContext& run, ConsoleUi& ui);

// Clears the progress bar line, if one is shown.
void clearProgress(ConsoleUi& ui);

// True for a log line that -q keeps: everything but the opening line and the indented line of
// an entry that came through whole.
bool keptWhenQuiet(const char* line);

// The progress line after the bar: "12.0 MiB of 40.0 MiB  3.1 MiB/s  0:09 left". The rate and
// time left appear once a little time has passed.
std::string progressDetails(uint64_t doneBytes, uint64_t totalBytes, double elapsedSeconds);

// The progress line for a terminal `columns` wide: "[####....]  42%  <details>", the bar
// narrowed and the details shortened or left out so that it never reaches the last column (a
// line that wraps is not overwritten by the next one, and floods the scrollback). Empty when
// not even the percentage fits.
std::string progressLine(int thousandths, const std::string& details, int columns);

// Asks a yes/no question on the controlling terminal, again after an answer that is neither
// (Enter alone takes the default, No); false without a terminal or on end of input, which also
// ends the prompt's line. `noTerminal` is set when there was no terminal to ask on.
bool askYesNo(const char* question, bool* noTerminal = nullptr);

// Reads one line from the controlling terminal after showing `prompt`; false without one.
bool readTerminalLine(const char* prompt, std::string& line);
// Called by the stop-signal handler (async-signal-safe: one atomic store): a question waiting
// for its line gives up, even when the signal came before the wait began.
void noteStopSignalArrived();

}  // namespace zipsalvage
