// The run report: each entry's verdict, for the shells' entry report, the counts behind the
// summary, and the summary's lines.
#pragma once

#include <cstdint>

#include "engine/entry/judged_entry.h"
#include "engine/state/run_state.h"

namespace zipsalvage {

// An entry's report, once it is written (`salvaged`) or left out: its verdict (what its
// judging, copy or writing found against it) is counted for the summary here and only here,
// and the shells' report gets it, or "not written" for an entry left out with nothing against
// it. The item still holds its entry.
void reportEntry(QueueContext& run, const QueuedItem& item, bool salvaged);

// One line of the summary: a count after its text.
void logCount(RunLog& log, int textId, uint64_t count);

// Tells the person, in a message box, that writing the output failed.
void showOutputError(RunLog& log);

// Adds a written entry to the run's list, whose order the central directory takes.
void appendEntry(RunTally& tally, SalvagedEntry* entry);

// The summary's lines: entries found and each count that is not zero.
void logSummary(QueueContext& run);

}  // namespace zipsalvage
