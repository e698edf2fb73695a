// zipsalvage: the console program. Follows the wizard's flow in a terminal: open the archive,
// create the output (asking before replacing one), salvage on a worker thread, report.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/salvage_run.h"
#include "resources/strings.h"
#include "shell/console/console_ui.h"
#include "shell/console/options.h"
#include "shell/console/password_prompt_tty.h"

namespace zipsalvage {
namespace {

enum ExitStatus : int {
    kExitWhole = 0,
    kExitDamaged = 1,
    kExitNoRun = 2,
    kExitWriteFailed = 3,
    kExitCancelled = 130,
};

SalvageRun* signalledRun = nullptr;

extern "C" void onInterrupt(int) {
    // Only an atomic store and tcsetattr: safe inside a signal handler. A password prompt may
    // have echo off; the terminal gets it back now rather than when the worker notices.
    if (signalledRun != nullptr) requestCancel(signalledRun->flags);
    restoreTerminalNow();
}

void installInterruptHandlers(SalvageRun& run) {
    signalledRun = &run;
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a prompt waiting for input is interrupted too
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
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
            std::fprintf(stderr,
                         "zipsalvage: only the first %d characters of a password are used\n",
                         kPasswordBufferBytes - 1);
            break;
        }
    }
    run.passwords.given = options.passwords;
    run.passwords.dialog = askPasswordOnTerminal;
    run.passwords.dialogContext = &promptContext;
}

int cancelled(SalvageRun& run, ConsoleUi& ui) {
    closeRunFiles(run);
    if (!run.outputPath.empty()) deleteFile(run.outputPath.c_str());
    removeRunTempFolder();
    clearProgress(ui);
    std::fprintf(stderr, "Salvage cancelled; nothing was written.\n");
    return kExitCancelled;
}

int runConsole(int argumentCount, char** arguments) {
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

    static SalvageRun run;  // one run per process, as the design has it
    ConsoleUi ui;
    ui.assumeYes = options.assumeYes;
    attachConsoleUi(run, ui);
    TerminalPromptContext promptContext{&ui, &run.flags, false};
    preparePasswords(run, options, promptContext);
    installInterruptHandlers(run);

    run.archivePath = options.archivePath;
    if (run.archivePath.empty()) {
        bool interactive = ::isatty(STDIN_FILENO) != 0;
        if (!interactive || !readTerminalLine("Archive: ", run.archivePath) ||
            run.archivePath.empty()) {
            if (isCancelled(run.flags)) return kExitCancelled;
            std::fprintf(stderr, "%s\n", kUsageLine);
            return kExitNoRun;
        }
    }
    if (!openArchive(run, run.archivePath.c_str())) return kExitNoRun;
    run.outputPath =
        options.outputPath.empty() ? defaultOutputPath(run.archivePath) : options.outputPath;
    if (!createOutput(run, run.outputPath.c_str())) {
        closeRunFiles(run);
        return isCancelled(run.flags) ? kExitCancelled : kExitNoRun;
    }
    if (isCancelled(run.flags)) return cancelled(run, ui);

    WorkerJob job{&run, RunResult::kCompleted};
    if (!startThread(run.workerThread, workerMain, &job)) {
        workerMain(&job);
    }
    joinThread(run.workerThread);
    releasePromptTerminal();

    if (job.result == RunResult::kCancelled || isCancelled(run.flags)) return cancelled(run, ui);
    closeRunFiles(run);
    removeRunTempFolder();
    {
        std::lock_guard<std::mutex> guard(ui.outputLock);
        clearProgress(ui);
    }
    if (job.result == RunResult::kOutputFailed) return kExitWriteFailed;

    char line[8192];
    formatText(line, sizeof line, loadText(kTextStoredIn), absolutePath(run.outputPath).c_str());
    std::printf("%s\n", line);
    std::fflush(stdout);
    if (hasWriteFailed(run.flags)) return kExitWriteFailed;
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
