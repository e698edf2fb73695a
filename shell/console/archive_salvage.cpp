// salvageArchive: the steps of one run in the order the engine asks for them, every way out
// closing the run's files and its private temporary folder.
#include "shell/console/archive_salvage.h"

#include <cstdlib>
#include <cstring>

#include "engine/run/salvage_run.h"
#include "resources/strings.h"
#include "shell/console/console_ui.h"
#include "shell/console/folder_output.h"
#include "shell/console/stop_signals.h"

namespace zipsalvage {
namespace {

// The run of one archive, whose list of written entries goes with it, and whose private
// temporary folder (which may hold decrypted data) goes after its files are closed.
struct OwnedRun {
    SalvageRun run;
    OwnedRun() = default;
    ~OwnedRun() {
        closeRunFiles(run);
        freeEntryList(run);
        removeRunTempFolder();
    }
    OwnedRun(const OwnedRun&) = delete;
    OwnedRun& operator=(const OwnedRun&) = delete;
};

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

uint64_t entriesWritten(const RunTally& tally) {
    uint64_t count = 0;
    for (const SalvagedEntry* entry = tally.entryList; entry != nullptr; entry = entry->next)
        ++count;
    return count;
}

// Passwords from the command line are tried before anyone is asked, after those that opened
// entries of earlier archives; the prompt asks on the terminal when there is one.
void preparePasswords(PasswordBook& passwords, const SalvageSession& session,
                      TerminalPromptContext& promptContext) {
    for (const std::string& password : session.options->passwords) {
        if (password.size() > kPasswordBufferBytes - 1) {
            std::fprintf(stderr, "zipsalvage: only the first %d bytes of a password are used\n",
                         kPasswordBufferBytes - 1);
            break;
        }
    }
    std::memcpy(passwords.remembered, session.remembered.remembered, sizeof passwords.remembered);
    passwords.rememberedCount = session.remembered.rememberedCount;
    passwords.given = session.options->passwords;
    passwords.dialog = askPasswordOnTerminal;
    passwords.dialogContext = &promptContext;
}

void keepRememberedPasswords(SalvageSession& session, const PasswordBook& passwords) {
    std::memcpy(session.remembered.remembered, passwords.remembered,
                sizeof session.remembered.remembered);
    session.remembered.rememberedCount = passwords.rememberedCount;
}

int cancelled(EntryContext& run, ConsoleUi& ui) {
    closeRunFiles(run);  // removes the partial output; an earlier output stays as it was
    {
        std::lock_guard<std::mutex> guard(ui.outputLock);
        clearProgress(ui);
    }
    std::fprintf(stderr, "%s\n", textOf(kTextCancelled));
    return stoppedStatus();
}

// An archive itself named like the default output is refused as the output; say what helps.
void hintWhenArchiveIsTheOutput(const ArchiveReader& reader, const SalvageTask& task) {
    if (!task.defaultOutput) return;
    if (!isSameFile(reader.archiveHandle, task.outputPath.c_str())) return;
    char line[512];
    formatText(line, sizeof line, textOf(kTextArchiveIsDefaultOutput), "Salvaged.zip");
    std::fprintf(stderr, "%s\n", line);
}

// The output the options ask for: none (-t), a folder (-d) or an archive.
bool createTaskOutput(SalvageRun& run, const ConsoleOptions& options, const SalvageTask& task) {
    if (options.testOnly) {
        run.output = makeNullOutput();
        return run.output != nullptr;
    }
    if (!options.folderPath.empty()) {
        if (!createFolderOutput(run, options.folderPath)) return false;
        run.outputPath = options.folderPath;
        return true;
    }
    return createOutput(run, task.outputPath.c_str());
}

// The run from its worker's start to its verdict; `stored` says whether the output is in place
// (kExitDamaged also ends a run that found no entry and wrote nothing).
int runToVerdict(SalvageSession& session, SalvageRun& run, ConsoleUi& ui, bool& stored) {
    stored = false;
    ui.started = std::chrono::steady_clock::now();
    // The run is the worker's until it is joined; meanwhile this thread and the signal
    // handlers touch only its flags.
    WorkerJob job{&run, RunResult::kCompleted};
    WorkerThread worker;
    if (!startThread(worker, workerMain, &job)) {
        workerMain(&job);
    }
    joinThread(worker);
    releasePromptTerminal(*session.terminal);
    keepRememberedPasswords(session, run.passwords);

    // A report that could not take a line stopped the run: nothing was replaced.
    if (session.report->failed) {
        closeRunFiles(run);
        std::lock_guard<std::mutex> guard(ui.outputLock);
        clearProgress(ui);
        return kExitWriteFailed;
    }
    // A signal after the output was put in place does not undo a completed run.
    if (job.result == RunResult::kCancelled) return cancelled(run, ui);
    closeRunFiles(run);
    {
        std::lock_guard<std::mutex> guard(ui.outputLock);
        clearProgress(ui);
    }
    if (job.result == RunResult::kOutputFailed) return kExitWriteFailed;
    if (job.result == RunResult::kNoEntries) {
        char line[8192];
        formatText(line, sizeof line, loadText(kTextNoZipEntries), run.archivePath.c_str());
        std::fprintf(ui.log, "%s\n", line);
        std::fflush(ui.log);
        return kExitDamaged;
    }
    stored = true;
    bool whole = run.filesFound > 0 && entriesWritten(run) == run.filesFound &&
                 run.unrecoverableCount == 0 && run.partialCount == 0 &&
                 run.undecryptableCount == 0 && run.systemErrorCount == 0 &&
                 run.notCheckedCount == 0;
    return whole ? kExitWhole : kExitDamaged;
}

}  // namespace

int salvageArchive(SalvageSession& session, const SalvageTask& task, std::string& written) {
    written.clear();
    const ConsoleOptions& options = *session.options;
    OwnedRun owned;
    SalvageRun& run = owned.run;
    ConsoleUi ui;
    ui.assumeYes = options.assumeYes;
    ui.quiet = options.quiet;
    ui.log = session.log;
    attachConsoleUi(run, ui);
    TerminalPromptContext promptContext{&ui, &run.flags, session.terminal, false,
                                        !options.passwords.empty()};
    preparePasswords(run.passwords, session, promptContext);
    SignalledRun signalled(run.flags);

    run.archivePath = task.archivePath;
    run.threads = options.threads;
    run.copyIntact = options.copyIntact;
    if (!openArchive(run, run.archivePath.c_str())) return kExitNoRun;
    ui.totalBytes = run.reader.archiveSize;
    if (!checkTempFolder(run)) return kExitNoRun;
    EntryReportFile& report = *session.report;
    if (!options.reportPath.empty()) {
        if (report.file == nullptr &&
            !openEntryReport(report, options.reportPath, options.archivePaths)) {
            return kExitNoRun;
        }
        attachEntryReport(report, run);
    }
    ReportSummary summary{task.archivePath, "", kExitNoRun};
    bool stored = false;
    if (!createTaskOutput(run, options, task)) {
        hintWhenArchiveIsTheOutput(run.reader, task);
        summary.exitStatus = isCancelled(run.flags) ? stoppedStatus() : kExitNoRun;
    } else if (isCancelled(run.flags)) {
        summary.exitStatus = cancelled(run, ui);
    } else {
        ui.outputPath = run.outputPath;
        summary.exitStatus = runToVerdict(session, run, ui, stored);
    }
    if (stored) {
        char line[8192];
        if (options.testOnly) {
            formatText(line, sizeof line, textOf(kTextTestNothingWritten));
        } else {
            summary.output = absolutePath(run.outputPath);
            int textId = options.folderPath.empty() ? kTextStoredIn : kTextFilesStoredIn;
            formatText(line, sizeof line, textOf(textId), summary.output.c_str());
            // Only an archive is an output that a later archive of the call must not replace.
            if (options.folderPath.empty()) written = summary.output;
        }
        std::fprintf(ui.log, "%s\n", line);
        std::fflush(ui.log);
    }
    bool reportWritten = options.reportPath.empty() || writeReportSummary(report, summary);
    return reportWritten ? summary.exitStatus : kExitWriteFailed;
}

}  // namespace zipsalvage
