// The run report: verdicts, counts and the summary.
#include "engine/run/run_report.h"

#include <string>

#include "resources/strings.h"

namespace zipsalvage {

CounterSnapshot countersOf(const SalvageRun& run) {
    return {run.unrecoverableCount, run.partialCount, run.undecryptableCount, run.systemErrorCount,
            run.notCheckedCount};
}

// Adds what the counters gained since `before` to `raised`.
void addRaised(const SalvageRun& run, const CounterSnapshot& before, CounterSnapshot& raised) {
    CounterSnapshot now = countersOf(run);
    raised.unrecoverable += now.unrecoverable - before.unrecoverable;
    raised.partial += now.partial - before.partial;
    raised.undecryptable += now.undecryptable - before.undecryptable;
    raised.systemErrors += now.systemErrors - before.systemErrors;
    raised.notChecked += now.notChecked - before.notChecked;
}

// The entry's verdict is read from the counter the entry salvage raised for it, so the report
// says what the log and the summary say.
void reportEntry(SalvageRun& run, const LocalHeader& recorded, const EntrySizes& recordedSizes,
                 const EntryOutcome& outcome, const SalvagedEntry& written, bool salvaged,
                 const CounterSnapshot& raised) {
    if (run.ui.entryDone == nullptr) return;
    EntryReport report{};
    report.rawName = written.name.c_str();
    report.nameIsUtf8 = (headerField16(written.header, kLocalFlags) & kFlagUtf8Name) != 0;
    report.method = headerField16(recorded, kLocalMethod);
    report.recordedSize = recordedSizes.uncompressed;
    report.recordedCrc32 = headerField32(recorded, kLocalCrc32);
    if (outcome.streamed) {
        // What the data descriptor records (0 when none was found).
        report.recordedSize = outcome.recordedSize;
        report.recordedCrc32 = outcome.recordedCrc;
    }
    report.written = salvaged;
    report.unknown = &outcome.unknown;
    report.recoveredBytes = salvaged ? written.sizes.uncompressed : 0;
    if (raised.undecryptable > 0) {
        report.verdict = EntryVerdict::kUndecryptable;
    } else if (raised.systemErrors > 0) {
        report.verdict = EntryVerdict::kSystemError;
    } else if (raised.unrecoverable > 0) {
        // Also a copy left out because its data is cut short or unsized: the summary counts
        // it unrecoverable, and so does the report.
        report.verdict = EntryVerdict::kUnrecoverable;
    } else if (raised.partial > 0) {
        report.verdict = EntryVerdict::kPartial;
    } else if (!salvaged) {
        report.verdict = EntryVerdict::kNotWritten;
    } else if (raised.notChecked > 0) {
        report.verdict = EntryVerdict::kNotChecked;
    } else {
        report.verdict = EntryVerdict::kWhole;
    }
    run.ui.entryDone(run.ui.entryDoneContext, report);
}

void logCount(SalvageRun& run, int textId, uint64_t count) {
    char line[256];
    formatText(line, sizeof line, loadText(textId), static_cast<unsigned long long>(count));
    logText(run, line);
}

void showOutputError(SalvageRun& run) {
    if (run.ui.showMessage != nullptr) {
        const char* text = loadText(kTextUnableToWrite);
        run.ui.showMessage(run.ui.context, text, loadText(kTextOutputError), MessageKind::kError);
    }
}

void appendEntry(SalvageRun& run, SalvagedEntry* entry) {
    if (run.entryTail == nullptr) {
        run.entryList = entry;
    } else {
        run.entryTail->next = entry;
    }
    run.entryTail = entry;
}

void logSummary(SalvageRun& run) {
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
