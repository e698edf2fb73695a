// Console callbacks of a run.
#include "shell/console/console_ui.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "resources/strings.h"
#include "shell/console/cp437.h"

namespace zipsalvage {
namespace {

constexpr int kBarWidth = 30;
// Below this, a rate would be a guess from too few bytes.
constexpr double kSecondsBeforeRate = 1.0;

void drawProgress(ConsoleUi& ui, int thousandths) {
    int filled = thousandths * kBarWidth / 1000;
    char bar[kBarWidth + 1];
    for (int index = 0; index < kBarWidth; ++index) bar[index] = index < filled ? '#' : '.';
    bar[kBarWidth] = '\0';
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - ui.started).count();
    uint64_t done = ui.totalBytes / 1000 * static_cast<uint64_t>(thousandths) +
                    ui.totalBytes % 1000 * static_cast<uint64_t>(thousandths) / 1000;
    std::string details = progressDetails(done, ui.totalBytes, elapsed);
    // \033[K clears what a longer earlier line left behind.
    std::fprintf(stderr, "\r[%s] %3d%%  %s\033[K", bar, thousandths / 10, details.c_str());
    std::fflush(stderr);
    ui.progressVisible = true;
}

std::string byteCount(uint64_t bytes) {
    char text[32];
    if (bytes < 1024) {
        std::snprintf(text, sizeof text, "%u B", static_cast<unsigned>(bytes));
    } else if (bytes < 1024 * 1024) {
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024.0);
    } else if (bytes < uint64_t{1024} * 1024 * 1024) {
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / 1048576.0);
    } else {
        std::snprintf(text, sizeof text, "%.2f GiB", static_cast<double>(bytes) / 1073741824.0);
    }
    return text;
}

void consoleLogLine(void* context, const char* text) {
    auto& ui = *static_cast<ConsoleUi*>(context);
    if (ui.quiet && !keptWhenQuiet(text)) return;
    std::lock_guard<std::mutex> guard(ui.outputLock);
    clearProgress(ui);
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    if (ui.progressOnTerminal && ui.lastProgress >= 0) drawProgress(ui, ui.lastProgress);
}

void consoleProgress(void* context, int thousandths) {
    auto& ui = *static_cast<ConsoleUi*>(context);
    if (!ui.progressOnTerminal) return;
    std::lock_guard<std::mutex> guard(ui.outputLock);
    // The reader reports every 10,000 bytes; the line changes only with the thousandths.
    if (thousandths == ui.lastProgress && ui.progressVisible) return;
    ui.lastProgress = thousandths;
    drawProgress(ui, thousandths);
}

bool consoleMessage(void* context, const char* text, const char* caption, MessageKind kind) {
    auto& ui = *static_cast<ConsoleUi*>(context);
    if (kind == MessageKind::kQuestion) {
        if (ui.assumeYes) return true;
        std::lock_guard<std::mutex> guard(ui.outputLock);
        clearProgress(ui);
        bool noTerminal = false;
        bool yes = askYesNo(text, &noTerminal);
        if (noTerminal) {
            // Without a terminal the answer is No; the person reading the output is told why
            // nothing happened and what decides it.
            std::fprintf(stderr, "%s: %s\n%s\n", caption, text, textOf(kTextNoTerminalToAnswer));
        }
        return yes;
    }
    std::lock_guard<std::mutex> guard(ui.outputLock);
    clearProgress(ui);
    std::fprintf(stderr, "%s: %s\n", caption, text);
    return false;
}

void consoleName(void*, const char* rawName, bool utf8, std::string& shown) {
    shown = utf8 ? utf8ForTerminal(rawName) : cp437ToUtf8(rawName);
}

int openTerminal() { return ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC); }

void writeAll(int descriptor, const char* text) {
    size_t length = std::strlen(text);
    while (length > 0) {
        ssize_t put = ::write(descriptor, text, length);
        if (put <= 0) return;
        text += put;
        length -= static_cast<size_t>(put);
    }
}

}  // namespace

bool keptWhenQuiet(const char* line) {
    if (std::strncmp(line, "    ", 4) == 0) return false;
    return std::strcmp(line, textOf(kTextBeginning)) != 0;
}

std::string progressDetails(uint64_t doneBytes, uint64_t totalBytes, double elapsedSeconds) {
    std::string details = byteCount(doneBytes) + " of " + byteCount(totalBytes);
    if (elapsedSeconds < kSecondsBeforeRate || doneBytes == 0) return details;
    double rate = static_cast<double>(doneBytes) / elapsedSeconds;
    details += "  " + byteCount(static_cast<uint64_t>(rate)) + "/s";
    if (doneBytes < totalBytes) {
        auto secondsLeft =
            static_cast<uint64_t>(static_cast<double>(totalBytes - doneBytes) / rate);
        char left[48];
        if (secondsLeft >= 3600) {
            std::snprintf(left, sizeof left, "  %u:%02u:%02u left",
                          static_cast<unsigned>(secondsLeft / 3600),
                          static_cast<unsigned>(secondsLeft / 60 % 60),
                          static_cast<unsigned>(secondsLeft % 60));
        } else {
            std::snprintf(left, sizeof left, "  %u:%02u left",
                          static_cast<unsigned>(secondsLeft / 60),
                          static_cast<unsigned>(secondsLeft % 60));
        }
        details += left;
    }
    return details;
}

void clearProgress(ConsoleUi& ui) {
    if (!ui.progressVisible) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    ui.progressVisible = false;
}

void attachConsoleUi(SalvageRun& run, ConsoleUi& ui) {
    ui.progressOnTerminal = ::isatty(STDERR_FILENO) != 0;
    run.ui.context = &ui;
    run.ui.logLine = consoleLogLine;
    run.ui.postProgress = consoleProgress;
    run.ui.showMessage = consoleMessage;
    run.ui.displayName = consoleName;
    run.reader.progress = consoleProgress;
    run.reader.progressContext = &ui;
}

namespace {

std::atomic<int> stopArrived{0};
static_assert(std::atomic<int>::is_always_lock_free, "set inside a signal handler");
constexpr int kStopPollMilliseconds = 100;

// Waits until the terminal has input; false when a stop signal arrived first. The wait goes in
// short slices: a signal that lands between the prompt and the wait interrupts no call, and
// would otherwise leave the program waiting for a line nobody types.
bool waitForInput(int terminal) {
    while (stopArrived.load() == 0) {
        struct pollfd waiting {
            terminal, POLLIN, 0
        };
        int ready = ::poll(&waiting, 1, kStopPollMilliseconds);
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
    return false;
}

}  // namespace

void noteStopSignalArrived() { stopArrived.store(1); }

bool readTerminalLine(const char* prompt, std::string& line) {
    int terminal = openTerminal();
    if (terminal < 0) return false;
    writeAll(terminal, prompt);
    line.clear();
    char character = 0;
    bool gotAny = false;
    while (waitForInput(terminal)) {
        ssize_t got = ::read(terminal, &character, 1);
        if (got <= 0) break;  // end of input, or interrupted
        gotAny = true;
        if (character == '\n') break;
        line += character;
    }
    ::close(terminal);
    return gotAny;
}

bool askYesNo(const char* question, bool* noTerminal) {
    std::string answer;
    std::string prompt = std::string(question) + " [y/N] ";
    int terminal = openTerminal();
    if (terminal < 0) {
        if (noTerminal != nullptr) *noTerminal = true;
        return false;
    }
    ::close(terminal);
    if (!readTerminalLine(prompt.c_str(), answer)) return false;
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

}  // namespace zipsalvage
