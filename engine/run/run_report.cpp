// The run report: verdicts, counts and the summary.
#include "engine/run/run_report.h"

#include <string>

#include "resources/strings.h"

namespace zipsalvage {

namespace {

// The summary's counts, each entry counted once by its verdict.
void countVerdict(RunTally& tally, EntryVerdict verdict) {
    switch (verdict) {
        case EntryVerdict::kUnrecoverable:
            ++tally.unrecoverableCount;
            break;
        case EntryVerdict::kPartial:
            ++tally.partialCount;
            break;
        case EntryVerdict::kUndecryptable:
            ++tally.undecryptableCount;
            break;
        case EntryVerdict::kSystemError:
            ++tally.systemErrorCount;
            break;
        case EntryVerdict::kNotChecked:
            ++tally.notCheckedCount;
            break;
        case EntryVerdict::kWhole:
        case EntryVerdict::kNotWritten:
            break;
    }
}

}  // namespace

void reportEntry(QueueContext& run, const QueuedItem& item, bool salvaged) {
    const EntryVerdict found = item.verdict;
    countVerdict(run, found);
    if (run.ui.entryDone == nullptr) return;
    const LocalHeader& recorded = item.recordedHeader;
    const EntryOutcome& outcome = item.outcome;
    const SalvagedEntry& written = *item.entry;
    EntryReport report{};
    report.rawName = written.name.c_str();
    report.nameIsUtf8 = (headerField16(written.header, kLocalFlags) & kFlagUtf8Name) != 0;
    report.method = headerField16(recorded, kLocalMethod);
    report.recordedSize = item.recordedSizes.uncompressed;
    report.recordedCrc32 = headerField32(recorded, kLocalCrc32);
    if (outcome.streamed) {
        // What the data descriptor records (0 when none was found).
        report.recordedSize = outcome.recordedSize;
        report.recordedCrc32 = outcome.recordedCrc;
    }
    report.written = salvaged;
    report.unknown = &outcome.unknown;
    report.recoveredBytes = salvaged ? written.sizes.uncompressed : 0;
    // An entry left out with nothing found against it (its re-encoding failed, or the output
    // refused it) is not written; a copy left out because its data is cut short or unsized is
    // unrecoverable, as the summary counts it.
    const bool leftOut = found == EntryVerdict::kWhole || found == EntryVerdict::kNotChecked;
    report.verdict = !salvaged && leftOut ? EntryVerdict::kNotWritten : found;
    run.ui.entryDone(run.ui.entryDoneContext, report);
}

void logCount(RunLog& log, int textId, uint64_t count) {
    char line[256];
    formatText(line, sizeof line, loadText(textId), static_cast<unsigned long long>(count));
    logText(log, line);
}

void showOutputError(RunLog& log) {
    if (log.ui.showMessage != nullptr) {
        const char* text = loadText(kTextUnableToWrite);
        log.ui.showMessage(log.ui.context, text, loadText(kTextOutputError), MessageKind::kError);
    }
}

void appendEntry(RunTally& tally, SalvagedEntry* entry) {
    if (tally.entryTail == nullptr) {
        tally.entryList = entry;
    } else {
        tally.entryTail->next = entry;
    }
    tally.entryTail = entry;
}

void logSummary(QueueContext& run) {
    logText(run, " ");
    logText(run, loadText(kTextAttemptComplete));
    logCount(run, kTextFilesFound, run.filesFound);
    if (run.unrecoverableCount > 0) logCount(run, kTextUnrecoverable, run.unrecoverableCount);
    if (run.partialCount > 0) logCount(run, kTextPartial, run.partialCount);
    if (run.undecryptableCount > 0) logCount(run, kTextUndecryptable, run.undecryptableCount);
    if (run.systemErrorCount > 0) logCount(run, kTextSystemErrors, run.systemErrorCount);
    if (run.notCheckedCount > 0) logCount(run, kTextNotCheckedCount, run.notCheckedCount);
}

}  // namespace zipsalvage
