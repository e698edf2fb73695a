// Console callbacks of a run.
#include "shell/console/console_ui.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "shell/console/cp437.h"

namespace zipsalvage {
namespace {

constexpr int kBarWidth = 40;

void drawProgress(ConsoleUi& ui, int thousandths) {
    int filled = thousandths * kBarWidth / 1000;
    char bar[kBarWidth + 1];
    for (int index = 0; index < kBarWidth; ++index) bar[index] = index < filled ? '#' : '.';
    bar[kBarWidth] = '\0';
    std::fprintf(stderr, "\r[%s] %3d%%", bar, thousandths / 10);
    std::fflush(stderr);
    ui.progressVisible = true;
}

void consoleLogLine(void* context, const char* text) {
    auto& ui = *static_cast<ConsoleUi*>(context);
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
    ui.lastProgress = thousandths;
    drawProgress(ui, thousandths);
}

bool consoleMessage(void* context, const char* text, const char* caption, MessageKind kind) {
    auto& ui = *static_cast<ConsoleUi*>(context);
    if (kind == MessageKind::kQuestion) {
        if (ui.assumeYes) return true;
        std::lock_guard<std::mutex> guard(ui.outputLock);
        clearProgress(ui);
        return askYesNo(text);
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

bool readTerminalLine(const char* prompt, std::string& line) {
    int terminal = openTerminal();
    if (terminal < 0) return false;
    writeAll(terminal, prompt);
    line.clear();
    char character = 0;
    bool gotAny = false;
    while (true) {
        ssize_t got = ::read(terminal, &character, 1);
        if (got <= 0) break;  // end of input, or interrupted
        gotAny = true;
        if (character == '\n') break;
        line += character;
    }
    ::close(terminal);
    return gotAny;
}

bool askYesNo(const char* question) {
    std::string answer;
    std::string prompt = std::string(question) + " [y/N] ";
    if (!readTerminalLine(prompt.c_str(), answer)) return false;
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

}  // namespace zipsalvage
