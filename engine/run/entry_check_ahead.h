// --copy-intact with encoder threads: an entry that may be copied as it lies is checked by a
// worker while the scan goes on behind it.
//
// For such an entry (not encrypted, stored or deflated, its sizes in its local header, small
// enough to hold) the scanning thread reads its compressed bytes and queues them; a worker
// decodes them and compares the recorded size and CRC-32. The scan meanwhile goes on at the
// recorded end of the data, as it would behind an intact entry. Whatever the scan finds behind
// a checked entry waits in the queue behind it, so nothing of it takes effect before the check.
// A check that fails halts the queue: everything behind the entry is dropped, and the scan goes
// back to the entry's header and salvages it the ordinary way. The output, log and report are
// therefore those of a run on one thread.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/entry/intact_copy.h"
#include "engine/entry/judged_entry.h"
#include "engine/state/run_state.h"

namespace zipsalvage {

// The mark of the scan as it stands at the header whose signature was just read.
ScanMark markScanHere(const QueueContext& run, uint64_t lookedAgain);

// True when the found entry (its method settled) is checked by a worker.
bool checksAhead(const EntryContext& run, const QueuedItem& item);

// Reads the entry's compressed bytes and queues its check; the reader then stands at the
// recorded end of its data. False, with the reader back at the data and `item` untouched, when
// the archive ends inside them. `result` is what salvageHeaderAt returns.
bool queueCheckAhead(QueueContext& run, std::unique_ptr<QueuedItem>& item, int& result);

// The worker's whole check: the entry decoded whole (runCheckAhead), and the scan behind it went
// on where the scan of a one-thread run would have.
void checkEntryAhead(CheckAhead& check);

// Writes a checked entry, its check passed, from its held bytes, as a copied entry from the
// queue is written. True when it is written.
bool writeCheckedEntry(EntryContext& run, QueuedItem& item);

// Before an entry whose judging touches what the queue cannot take back (a password asked or
// remembered): every check queued is settled. False when the queue stopped (a failed check, a
// cancel or a failed output).
bool settleChecks(QueueContext& run);

// True when a check failed and the scan must go back to its entry.
bool checkFailed(const EntryContext& run);

// Drops everything queued from the failed check on, takes back what the scan counted behind
// its header, and puts the reader just after its signature (the resume mark set there); the
// entry is then salvaged the ordinary way. Gives the mark to go on from.
ScanMark restartAtFailedCheck(QueueContext& run);

}  // namespace zipsalvage
