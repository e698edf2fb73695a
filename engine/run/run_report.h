// The run report: each entry's verdict, for the shells' entry report, the counts behind the
// summary, and the summary's lines.
#pragma once

#include <cstdint>

#include "engine/entry/judged_entry.h"
#include "engine/state/run_state.h"

namespace zipsalvage {

// The verdict counters as they stand.
CounterSnapshot countersOf(const SalvageRun& run);

// Adds what the counters gained since `before` to `raised`.
void addRaised(const SalvageRun& run, const CounterSnapshot& before, CounterSnapshot& raised);

// The entry's verdict is read from the counter the entry salvage raised for it, so the report
// says what the log and the summary say.
void reportEntry(SalvageRun& run, const LocalHeader& recorded, const EntrySizes& recordedSizes,
                 const EntryOutcome& outcome, const SalvagedEntry& written, bool salvaged,
                 const CounterSnapshot& raised);

// One line of the summary: a count after its text.
void logCount(SalvageRun& run, int textId, uint64_t count);

// Tells the person, in a message box, that writing the output failed.
void showOutputError(SalvageRun& run);

// Adds a written entry to the run's list, whose order the central directory takes.
void appendEntry(SalvageRun& run, SalvagedEntry* entry);

// The summary's lines: entries found and each count that is not zero.
void logSummary(SalvageRun& run);

}  // namespace zipsalvage
