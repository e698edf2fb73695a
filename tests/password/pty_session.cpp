// PtySession over openpty: setsid and TIOCSCTTY in the child make the pty its /dev/tty.
#include "tests/password/pty_session.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

namespace zipsalvage::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Reads what the program wrote to the terminal, waiting at most `milliseconds` for the first.
void readTerminalOutput(PtySession& session, int milliseconds) {
    struct pollfd waiting {
        session.master, POLLIN, 0
    };
    while (::poll(&waiting, 1, milliseconds) > 0) {
        char chunk[4096];
        ssize_t got = ::read(session.master, chunk, sizeof chunk);
        if (got <= 0) return;
        session.transcript.append(chunk, static_cast<size_t>(got));
        milliseconds = 0;
    }
}

}  // namespace

PtySession::~PtySession() {
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
}

bool startOnTerminal(PtySession& session, const std::vector<std::string>& arguments,
                     const std::string& logPath, const TerminalSetup& setup) {
    struct winsize size {};
    size.ws_row = 24;
    size.ws_col = static_cast<unsigned short>(setup.columns);
    if (::openpty(&session.master, &session.slave, nullptr, nullptr, &size) != 0) return false;
    pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        ::setsid();
        if (::ioctl(session.slave, TIOCSCTTY, 0) != 0) ::_exit(126);
        int nothing = ::open("/dev/null", O_RDONLY);
        int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(nothing, STDIN_FILENO);
        ::dup2(log, STDOUT_FILENO);
        ::dup2(setup.errorsOnTerminal ? session.slave : log, STDERR_FILENO);
        ::close(session.master);
        ::close(session.slave);  // the pty stays the controlling terminal without an open fd
        std::vector<char*> argv;
        std::string program = ZIPSALVAGE_BINARY;
        argv.push_back(program.data());
        std::vector<std::string> copies = arguments;
        for (std::string& argument : copies) argv.push_back(argument.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    session.pid = child;
    return true;
}

bool expectText(PtySession& session, const std::string& text) {
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (true) {
        size_t at = session.transcript.find(text, session.seen);
        if (at != std::string::npos) {
            session.seen = at + text.size();
            return true;
        }
        if (Clock::now() > deadline) return false;
        readTerminalOutput(session, 100);
    }
}

void typeKeys(PtySession& session, const std::string& keys) {
    ssize_t ignored = ::write(session.master, keys.data(), keys.size());
    (void)ignored;
}

int finishSession(PtySession& session) {
    auto deadline = Clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (::waitpid(session.pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) ::kill(session.pid, SIGKILL);
        readTerminalOutput(session, 50);
    }
    session.pid = -1;
    readTerminalOutput(session, 0);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

bool terminalEchoes(const PtySession& session) {
    struct termios settings {};
    if (::tcgetattr(session.slave, &settings) != 0) return false;
    return (settings.c_lflag & ECHO) != 0;
}

}  // namespace zipsalvage::testing
