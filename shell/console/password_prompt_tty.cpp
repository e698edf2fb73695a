// The password prompt on /dev/tty: echo off while a password is typed, restored on every path.
#include "shell/console/password_prompt_tty.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "resources/strings.h"
#include "shell/console/console_ui.h"
#include "shell/console/cp437.h"

namespace zipsalvage {
namespace {

// How often a waiting prompt looks at cancelRequested. The interrupt may be delivered to the
// main thread (waiting for the worker), so the worker's read cannot rely on being interrupted.
constexpr int kCancelPollMilliseconds = 100;
// A typed line longer than this is not stored further; only kPasswordBufferBytes - 1 bytes
// count anyway.
constexpr size_t kLongestKeptLine = kPasswordBufferBytes;

int openPromptTerminal(PromptTerminal& terminal) {
    if (terminal.descriptor < 0) {
        terminal.descriptor = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    return terminal.descriptor;
}

bool silenceEcho(PromptTerminal& terminal) {
    if (::tcgetattr(terminal.descriptor, &terminal.savedSettings) != 0) return false;
    struct termios quiet = terminal.savedSettings;
    quiet.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHOE | ECHOK | ECHONL));
    quiet.c_lflag |= ICANON | ISIG;  // line editing, and Ctrl-C still interrupts
    // Ctrl-Z and Ctrl-\ would stop or kill the program with echo off and no handler to put it
    // back; they do nothing while the prompt waits.
    quiet.c_cc[VSUSP] = _POSIX_VDISABLE;
    quiet.c_cc[VQUIT] = _POSIX_VDISABLE;
    terminal.echoSilenced.store(true);
    // TCSAFLUSH: text typed before the prompt appeared is not taken as the password.
    if (::tcsetattr(terminal.descriptor, TCSAFLUSH, &quiet) != 0) {
        terminal.echoSilenced.store(false);
        return false;
    }
    return true;
}

void restoreEcho(PromptTerminal& terminal) {
    if (terminal.echoSilenced.exchange(false)) {
        ::tcsetattr(terminal.descriptor, TCSANOW, &terminal.savedSettings);
    }
}

void writeAll(int descriptor, const std::string& text) {
    const char* cursor = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t put = ::write(descriptor, cursor, left);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return;
        cursor += put;
        left -= static_cast<size_t>(put);
    }
}

enum class LineEnd { kRead, kEndOfInput, kCancelled };

// Reads one line (without its end) in canonical mode, where a read returns at most one line.
// End of input after some characters (Ctrl-D in mid-line, twice) still answers with them.
LineEnd readSecretLine(int terminal, const RunFlags& flags, std::string& line) {
    line.clear();
    while (true) {
        if (isCancelled(flags)) return LineEnd::kCancelled;
        struct pollfd waiting {
            terminal, POLLIN, 0
        };
        int ready = ::poll(&waiting, 1, kCancelPollMilliseconds);
        if (ready < 0 && errno != EINTR) return LineEnd::kEndOfInput;
        if (ready <= 0) continue;
        if ((waiting.revents & (POLLERR | POLLNVAL)) != 0) return LineEnd::kEndOfInput;
        char chunk[256];
        ssize_t got = ::read(terminal, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return LineEnd::kEndOfInput;
        }
        if (got == 0) return line.empty() ? LineEnd::kEndOfInput : LineEnd::kRead;
        for (ssize_t index = 0; index < got; ++index) {
            if (chunk[index] == '\n' || chunk[index] == '\r') return LineEnd::kRead;
            if (line.size() < kLongestKeptLine) line += chunk[index];
        }
        std::memset(chunk, 0, sizeof chunk);
    }
}

}  // namespace

bool askPasswordOnTerminal(void* contextPointer, const PasswordRequest& request, char* accepted) {
    auto& context = *static_cast<TerminalPromptContext*>(contextPointer);
    if (isCancelled(*context.flags)) return false;
    int terminal = openPromptTerminal(*context.terminal);
    std::lock_guard<std::mutex> guard(context.ui->outputLock);
    clearProgress(*context.ui);
    if (terminal < 0) {
        // A password that passed the entry's check but whose bytes failed its CRC-32 is proven
        // wrong only in that the data is damaged: the entry is kept with those bytes, so the
        // hint that such entries are kept encrypted would be false.
        bool onePassed = request.provenWrong != nullptr && !request.provenWrong->empty();
        if (!context.toldNoTerminal && !onePassed) {
            std::fprintf(stderr, "zipsalvage: %s\n",
                         textOf(context.passwordsGiven ? kTextGivenPasswordsFail
                                                       : kTextNoTerminalForPasswords));
            context.toldNoTerminal = true;
        }
        return false;
    }
    if (!silenceEcho(*context.terminal)) return false;  // never ask for a password that would show

    writeAll(terminal, std::string("\nThe following file is encrypted:\n  ") +
                           cp437ToUtf8(request.name) +
                           "\n(Enter alone tries the empty password; Ctrl-D skips this file.)\n");
    bool result = false;
    std::string line;
    std::string incorrect = std::string(loadText(kTextIncorrectPassword)) + ": " +
                            loadText(kTextPasswordIncorrect) + "\n";
    // The password typed before decrypted the entry to bytes that failed its CRC-32.
    if (request.typedWasWrong) writeAll(terminal, incorrect);
    while (true) {
        writeAll(terminal, "Enter Decryption Password: ");
        LineEnd end = readSecretLine(terminal, *context.flags, line);
        writeAll(terminal, "\n");  // the Enter key was not echoed
        if (end != LineEnd::kRead) break;
        if (line.size() > kPasswordBufferBytes - 1) line.resize(kPasswordBufferBytes - 1);
        if (passwordPasses(request, line.c_str())) {
            std::memcpy(accepted, line.c_str(), line.size() + 1);
            result = true;
            break;
        }
        writeAll(terminal, incorrect);
    }
    std::fill(line.begin(), line.end(), '\0');
    restoreEcho(*context.terminal);
    return result;
}

void restoreTerminalNow(PromptTerminal& terminal) {
    if (terminal.echoSilenced.load()) {
        ::tcsetattr(terminal.descriptor, TCSANOW, &terminal.savedSettings);
    }
}

void releasePromptTerminal(PromptTerminal& terminal) {
    if (terminal.descriptor < 0) return;
    restoreEcho(terminal);
    ::close(terminal.descriptor);
    terminal.descriptor = -1;
}

}  // namespace zipsalvage
