// zipsalvage: the console program. Follows the wizard's flow in a terminal for each archive it
// is given: open the archive, create the output (asking before replacing one), salvage on a
// worker thread, report; or, with -l, list the entries' headers.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/run/salvage_run.h"
#include "resources/strings.h"
#include "shell/console/archive_batch.h"
#include "shell/console/archive_listing.h"
#include "shell/console/archive_salvage.h"
#include "shell/console/console_ui.h"
#include "shell/console/options.h"
#include "shell/console/stop_signals.h"

namespace zipsalvage {
namespace {

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

// "Archive: a.zip" above each archive's lines when there are several, a blank line between.
void printHeading(std::FILE* stream, const std::string& archive, bool first) {
    std::string line(archive.size() + 64, '\0');
    formatText(line.data(), static_cast<int>(line.size()), textOf(kTextArchiveHeading),
               archive.c_str());
    std::fprintf(stream, "%s%s\n", first ? "" : "\n", line.c_str());
    std::fflush(stream);
}

void printClosingLine(std::FILE* stream, const BatchTally& tally, bool listing) {
    std::fprintf(stream, "\n%s\n", batchClosingLine(tally, listing).c_str());
    std::fflush(stream);
}

int listArchives(const ConsoleOptions& options) {
    const bool several = options.archivePaths.size() > 1;
    int worst = kExitWhole;
    BatchTally tally;
    for (const std::string& archive : options.archivePaths) {
        if (stopSignalArrived()) return stoppedStatus();
        if (several) printHeading(stdout, archive, tally.archives == 0);
        int status = listArchive(archive);
        if (status >= kExitSignalBase) return status;
        worst = std::max(worst, status);
        countArchive(tally, status);
    }
    if (several) printClosingLine(stdout, tally, true);
    return worst;
}

int salvageArchives(const ConsoleOptions& options, PromptTerminal& terminal) {
    EntryReportFile report;
    std::FILE* log = options.reportPath == kReportToStandardOutput ? stderr : stdout;
    SalvageSession session{&options, &terminal, &report, log};
    const bool several = options.archivePaths.size() > 1;
    if (several && !options.outputPath.empty() && !prepareOutputFolder(options.outputPath)) {
        return kExitNoRun;
    }
    int worst = kExitWhole;
    bool anyRun = false;  // the report is put in place only when some run took place
    BatchTally tally;
    std::vector<std::string> writtenOutputs;  // of this call's archives so far, and whose
    std::vector<std::string> writtenFor;
    for (const std::string& archive : options.archivePaths) {
        if (stopSignalArrived()) {
            worst = stoppedStatus();
            break;
        }
        SalvageTask task{archive, options.outputPath, options.outputPath.empty()};
        const bool writesArchive = !options.testOnly && options.folderPath.empty();
        if (!writesArchive) {
            if (several) printHeading(log, archive, tally.archives == 0);
        } else if (several) {
            task.outputPath = batchOutputPath(archive, options.outputPath);
            task.defaultOutput = false;
            printHeading(log, archive, tally.archives == 0);
        } else if (task.defaultOutput) {
            task.outputPath = defaultOutputPath(archive);
        }
        int status = kExitNoRun;
        if (!several || !writesArchive ||
            !outputRefused(task.outputPath, options.archivePaths, writtenOutputs, writtenFor)) {
            std::string written;
            status = salvageArchive(session, task, written);
            if (!written.empty()) {
                writtenOutputs.push_back(written);
                writtenFor.push_back(archive);
            }
        }
        worst = std::max(worst, status);
        anyRun =
            anyRun || status == kExitWhole || status == kExitDamaged || status == kExitWriteFailed;
        // A stop signal ends the call: the archives after this one are not begun.
        if (status >= kExitSignalBase) break;
        countArchive(tally, status);
    }
    if (!closeEntryReport(report, anyRun && worst < kExitSignalBase))
        worst = std::max(worst, static_cast<int>(kExitWriteFailed));
    if (several && worst < kExitSignalBase) printClosingLine(log, tally, false);
    return worst;
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

    installStopHandlers();
    PromptTerminal terminal;
    SignalledTerminal signalledTerminal(terminal);
    if (options.archivePaths.empty()) {
        std::string archive;
        bool interactive = ::isatty(STDIN_FILENO) != 0;
        if (!interactive || !readTerminalLine("Archive: ", archive) || archive.empty()) {
            if (stopSignalArrived()) return stoppedStatus();
            std::fprintf(stderr, "%s\n", kUsageLine);
            return kExitNoRun;
        }
        options.archivePaths.push_back(archive);
    }
    int status = options.listOnly ? listArchives(options) : salvageArchives(options, terminal);
    releasePromptTerminal(terminal);
    return status;
}

}  // namespace
}  // namespace zipsalvage

int main(int argumentCount, char** arguments) {
    return zipsalvage::runConsole(argumentCount, arguments);
}
