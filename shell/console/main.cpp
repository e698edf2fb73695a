// zipsalvage: the console program. Follows the wizard's flow in a terminal: open the archive,
// create the output (asking before replacing one), salvage on a worker thread, report.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/salvage_run.h"
#include "resources/strings.h"
#include "shell/console/console_ui.h"
#include "shell/console/entry_report.h"
#include "shell/console/options.h"
#include "shell/console/password_prompt_tty.h"

namespace zipsalvage {
namespace {

enum ExitStatus : int {
    kExitWhole = 0,
    kExitDamaged = 1,
    kExitNoRun = 2,
    kExitWriteFailed = 3,
    kExitSignalBase = 128,  // plus the signal's number
};

// The first stop signal, for the exit status.
std::atomic<int> stopSignal{0};
// The flags of the run that a stop signal cancels; null outside the run's lifetime, so a
// signal during start-up or shutdown reaches nothing that is not there. The handler may run on
// either thread: on the main thread it cannot overlap the run's end, and the worker, the only
// other thread, has been joined before the run goes.
std::atomic<RunFlags*> signalledFlags{nullptr};
static_assert(std::atomic<int>::is_always_lock_free, "used inside a signal handler");
static_assert(std::atomic<RunFlags*>::is_always_lock_free, "used inside a signal handler");

extern "C" void onStopSignal(int signalNumber) {
    // Only atomic loads and stores and tcsetattr: safe inside a signal handler. A password
    // prompt may have echo off; the terminal gets it back now rather than when the worker
    // notices.
    int none = 0;
    stopSignal.compare_exchange_strong(none, signalNumber);
    if (RunFlags* flags = signalledFlags.load(); flags != nullptr) requestCancel(*flags);
    noteStopSignalArrived();
    restoreTerminalNow();
}

// While it lives, a stop signal cancels the run of `flags`; declared after the run, so it
// goes first.
struct SignalledRun {
    explicit SignalledRun(RunFlags& flags) { signalledFlags.store(&flags); }
    ~SignalledRun() { signalledFlags.store(nullptr); }
    SignalledRun(const SignalledRun&) = delete;
    SignalledRun& operator=(const SignalledRun&) = delete;
};

// The run of the program, whose list of written entries goes with it.
struct OwnedRun {
    SalvageRun run;
    OwnedRun() = default;
    ~OwnedRun() { freeEntryList(run); }
    OwnedRun(const OwnedRun&) = delete;
    OwnedRun& operator=(const OwnedRun&) = delete;
};

// Ctrl-C, kill, a closed terminal (SIGHUP) and a log reader that went away (SIGPIPE, as in
// `zipsalvage x.zip | head`) all cancel the run the same way: the partial output and the
// private temporary folder, which may hold decrypted data, are removed before the exit.
void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a prompt waiting for input is interrupted too
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        sigaction(signalNumber, &action, nullptr);
    }
}

// A program started with standard input, output or error closed would hand that number to
// the first file it opens, and the log would then be written into it (the output archive).
void occupyClosedStandardDescriptors() {
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
        if (::fcntl(descriptor, F_GETFD) >= 0 || errno != EBADF) continue;
        int placeholder = ::open("/dev/null", O_RDWR);
        if (placeholder >= 0 && placeholder != descriptor) {
            ::dup2(placeholder, descriptor);
            ::close(placeholder);
        }
    }
}

struct WorkerJob {
    SalvageRun* run;
    RunResult result;
};

void workerMain(void* argument) {
    auto* job = static_cast<WorkerJob*>(argument);
    job->result = runSalvage(*job->run);
}

std::string absolutePath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return path;
    std::string result = resolved;
    std::free(resolved);
    return result;
}

uint64_t entriesWritten(const SalvageRun& run) {
    uint64_t count = 0;
    for (const SalvagedEntry* entry = run.entryList; entry != nullptr; entry = entry->next) ++count;
    return count;
}

// Passwords from the command line are tried before anyone is asked; the prompt asks on the
// terminal when there is one.
void preparePasswords(SalvageRun& run, const ConsoleOptions& options,
                      TerminalPromptContext& promptContext) {
    for (const std::string& password : options.passwords) {
        if (password.size() > kPasswordBufferBytes - 1) {
            std::fprintf(stderr, "zipsalvage: only the first %d bytes of a password are used\n",
                         kPasswordBufferBytes - 1);
            break;
        }
    }
    run.passwords.given = options.passwords;
    run.passwords.dialog = askPasswordOnTerminal;
    run.passwords.dialogContext = &promptContext;
}

int stoppedStatus() {
    int signalNumber = stopSignal.load();
    return kExitSignalBase + (signalNumber != 0 ? signalNumber : SIGINT);
}

int cancelled(SalvageRun& run, ConsoleUi& ui) {
    closeRunFiles(run);  // removes the partial output; an earlier output stays as it was
    removeRunTempFolder();
    {
        std::lock_guard<std::mutex> guard(ui.outputLock);
        clearProgress(ui);
    }
    std::fprintf(stderr, "%s\n", textOf(kTextCancelled));
    return stoppedStatus();
}

// An archive itself named like the default output is refused as the output; say what helps.
void hintWhenArchiveIsTheOutput(const SalvageRun& run, const ConsoleOptions& options) {
    if (!options.outputPath.empty()) return;
    if (!isSameFile(run.reader.archiveHandle, defaultOutputPath(run.archivePath).c_str())) return;
    char line[512];
    formatText(line, sizeof line, textOf(kTextArchiveIsDefaultOutput), "Salvaged.zip");
    std::fprintf(stderr, "%s\n", line);
}

int runConsole(int argumentCount, char** arguments) {
    occupyClosedStandardDescriptors();
    ConsoleOptions options = parseOptions(argumentCount, arguments);
    if (!options.error.empty()) {
        std::fprintf(stderr, "zipsalvage: %s\n%s\n", options.error.c_str(), kUsageLine);
        return kExitNoRun;
    }
    if (options.showHelp) {
        std::fputs(kHelpText, stdout);
        return kExitWhole;
    }
    if (options.showVersion) {
        std::printf("zipsalvage %s (%s)\n", ZIPSALVAGE_VERSION, textOf(kTextProgramName));
        return kExitWhole;
    }

    OwnedRun owned;
    SalvageRun& run = owned.run;
    ConsoleUi ui;
    ui.assumeYes = options.assumeYes;
    ui.quiet = options.quiet;
    attachConsoleUi(run, ui);
    TerminalPromptContext promptContext{&ui, &run.flags, false, !options.passwords.empty()};
    preparePasswords(run, options, promptContext);
    SignalledRun signalled(run.flags);
    installStopHandlers();

    run.archivePath = options.archivePath;
    run.threads = options.threads;
    if (run.archivePath.empty()) {
        bool interactive = ::isatty(STDIN_FILENO) != 0;
        if (!interactive || !readTerminalLine("Archive: ", run.archivePath) ||
            run.archivePath.empty()) {
            if (isCancelled(run.flags)) return stoppedStatus();
            std::fprintf(stderr, "%s\n", kUsageLine);
            return kExitNoRun;
        }
    }
    if (!openArchive(run, run.archivePath.c_str())) return kExitNoRun;
    ui.totalBytes = run.reader.archiveSize;
    EntryReportFile report;
    if (!checkTempFolder(run) ||
        (!options.reportPath.empty() && !openEntryReport(report, options.reportPath, run))) {
        closeRunFiles(run);
        removeRunTempFolder();
        return kExitNoRun;
    }
    std::string outputPath =
        options.outputPath.empty() ? defaultOutputPath(run.archivePath) : options.outputPath;
    if (!createOutput(run, outputPath.c_str())) {
        hintWhenArchiveIsTheOutput(run, options);
        closeRunFiles(run);
        removeRunTempFolder();
        return isCancelled(run.flags) ? stoppedStatus() : kExitNoRun;
    }
    if (isCancelled(run.flags)) return cancelled(run, ui);

    ui.started = std::chrono::steady_clock::now();
    // The run is the worker's until it is joined; meanwhile this thread and the signal
    // handlers touch only its flags.
    WorkerJob job{&run, RunResult::kCompleted};
    WorkerThread worker;
    if (!startThread(worker, workerMain, &job)) {
        workerMain(&job);
    }
    joinThread(worker);
    releasePromptTerminal();

    // A signal after the output was put in place does not undo a completed run.
    if (job.result == RunResult::kCancelled) return cancelled(run, ui);
    closeRunFiles(run);
    removeRunTempFolder();
    {
        std::lock_guard<std::mutex> guard(ui.outputLock);
        clearProgress(ui);
    }
    bool reportWritten = closeEntryReport(report);
    if (job.result == RunResult::kOutputFailed) return kExitWriteFailed;

    char line[8192];
    formatText(line, sizeof line, loadText(kTextStoredIn), absolutePath(run.outputPath).c_str());
    std::printf("%s\n", line);
    std::fflush(stdout);
    if (!reportWritten) return kExitWriteFailed;
    bool whole = run.filesFound > 0 && entriesWritten(run) == run.filesFound &&
                 run.unrecoverableCount == 0 && run.partialCount == 0 &&
                 run.undecryptableCount == 0 && run.systemErrorCount == 0;
    return whole ? kExitWhole : kExitDamaged;
}

}  // namespace
}  // namespace zipsalvage

int main(int argumentCount, char** arguments) {
    return zipsalvage::runConsole(argumentCount, arguments);
}
