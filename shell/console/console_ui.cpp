// Console callbacks of a run.
#include "shell/console/console_ui.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "resources/strings.h"
#include "shell/console/cp437.h"

namespace zipsalvage {
namespace {

constexpr int kBarWidth = 30;
constexpr int kNarrowestBar = 10;
// "[", "] " and "100%" around the bar; two spaces before the details.
constexpr int kBarFrame = 7;
constexpr int kDetailsGap = 2;
// What a terminal that does not say its width is taken to have.
constexpr int kDefaultColumns = 80;
// Below this, a rate would be a guess from too few bytes.
constexpr double kSecondsBeforeRate = 1.0;

// Asked at every redraw, so a window made narrower during the run gets a line that fits; the
// redraws come only as the thousandths change.
int terminalColumns() {
    struct winsize size {};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return kDefaultColumns;
}

void drawProgress(ConsoleUi& ui, int thousandths) {
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - ui.started).count();
    uint64_t done = ui.totalBytes / 1000 * static_cast<uint64_t>(thousandths) +
                    ui.totalBytes % 1000 * static_cast<uint64_t>(thousandths) / 1000;
    std::string line =
        progressLine(thousandths, progressDetails(done, ui.totalBytes, elapsed), terminalColumns());
    // \033[K clears what a longer earlier line left behind.
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
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
    std::fputs(text, ui.log);
    std::fputc('\n', ui.log);
    std::fflush(ui.log);
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

// "Unable to write to output file" gains the output's name and the system's reason: the remedy
// (room on that disk) is the user's. The failed write was this thread's last system call.
std::string outputErrorText(const ConsoleUi& ui, const char* text, int reason) {
    if (reason == 0 || ui.outputPath.empty()) return text;
    std::string why = std::generic_category().message(reason);
    std::string line(ui.outputPath.size() + why.size() + 128, '\0');
    formatText(line.data(), static_cast<int>(line.size()), textOf(kTextUnableToWriteOutput),
               ui.outputPath.c_str(), why.c_str());
    return line.c_str();
}

bool consoleMessage(void* context, const char* text, const char* caption, MessageKind kind) {
    int reason = errno;  // taken before any call here can replace it
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
    std::string shown = text;
    if (std::strcmp(caption, textOf(kTextOutputError)) == 0) {
        shown = outputErrorText(ui, text, reason);
    }
    std::lock_guard<std::mutex> guard(ui.outputLock);
    clearProgress(ui);
    std::fprintf(stderr, "%s: %s\n", caption, shown.c_str());
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

std::string progressLine(int thousandths, const std::string& details, int columns) {
    const int room = columns - 1;  // the last column is never written: some terminals wrap there
    char percent[16];
    std::snprintf(percent, sizeof percent, "%3d%%", thousandths / 10);
    // The details lose their last parts (time left, then rate) before the bar goes narrower
    // than kNarrowestBar; the bar goes before the percentage.
    std::string shown = details;
    while (true) {
        int detailsWidth = shown.empty() ? 0 : kDetailsGap + static_cast<int>(shown.size());
        int barWidth = room - kBarFrame - detailsWidth;
        if (barWidth > kBarWidth) barWidth = kBarWidth;
        if (barWidth >= kNarrowestBar) {
            int filled = thousandths * barWidth / 1000;
            std::string line = "[" + std::string(static_cast<size_t>(filled), '#') +
                               std::string(static_cast<size_t>(barWidth - filled), '.') + "] " +
                               percent;
            return shown.empty() ? line : line + "  " + shown;
        }
        if (shown.empty()) break;
        size_t cut = shown.rfind("  ");
        shown = cut == std::string::npos ? std::string() : shown.substr(0, cut);
    }
    return room >= static_cast<int>(std::strlen(percent)) ? std::string(percent) : std::string();
}

void clearProgress(ConsoleUi& ui) {
    if (!ui.progressVisible) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    ui.progressVisible = false;
}

void attachConsoleUi(EntryContext& run, ConsoleUi& ui) {
    // -q keeps the terminal as quiet as the log.
    ui.progressOnTerminal = !ui.quiet && ::isatty(STDERR_FILENO) != 0;
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
    std::string prompt = std::string(question) + " [y/N] ";
    int terminal = openTerminal();
    if (terminal < 0) {
        if (noTerminal != nullptr) *noTerminal = true;
        return false;
    }
    while (true) {
        std::string answer;
        if (!readTerminalLine(prompt.c_str(), answer)) {
            writeAll(terminal, "\n");  // end of input left the cursor after the prompt
            ::close(terminal);
            return false;
        }
        for (char& letter : answer) {
            if (letter >= 'A' && letter <= 'Z') letter = static_cast<char>(letter - 'A' + 'a');
        }
        if (answer == "y" || answer == "yes" || answer == "n" || answer == "no" || answer.empty()) {
            ::close(terminal);
            return answer == "y" || answer == "yes";
        }
        prompt = std::string(textOf(kTextAnswerYesOrNo)) + " " + question + " [y/N] ";
    }
}

}  // namespace zipsalvage
