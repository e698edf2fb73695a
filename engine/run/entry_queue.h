// The run's side of the queue to the encoder threads: what the scan shows or writes goes out in
// archive order, at once when nothing waits, behind the entries still being encoded otherwise.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/entry/judged_entry.h"
#include "engine/output/zip_records.h"
#include "engine/scan/archive_reader.h"
#include "engine/state/run_state.h"
#include "extract/password_prompt.h"

namespace zipsalvage {

constexpr int kRewindAfterEntry = 8;  // the scan looks again at the last 8 bytes an entry read

// Explode and inflate may read up to 10 bytes past an entry's data (damaged data that runs
// out), and those bytes are often the next local header. The scan resumes `rewind` bytes before
// where the reader stands; this steps the reader back so that it resumes at `dataEnd` at the
// latest and sees all of them.
void keepBytesAfterData(ArchiveReader& reader, int64_t dataEnd, int32_t rewind);

// Shows or writes one item taken from the queue, as a one-thread run would have at its turn.
// False when the output failed.
bool putOutItem(QueueContext& run, QueuedItem& item);

// Shows and writes the items at the queue's front that are ready; with `waitForAll`, every
// item, waiting for the encoders. False when the output failed or the run was cancelled.
bool putOutQueued(QueueContext& run, bool waitForAll);

// Before an entry writes straight to the output: everything queued goes out first, and the
// entry's header begins where the output then stands. -1 when the queue or the output failed
// (run.outputFailed says which).
int64_t takeOutputTurn(QueueContext& run, SalvagedEntry& entry);

// A copy keeps the recorded sizes, so its header can go first. False when the output left the
// entry out or failed (run.outputFailed says which).
bool beginCopiedEntry(EntryContext& run, SalvagedEntry& entry, const EntrySizes& recorded);

// What salvageHeaderAt returns when putting out the queue stopped.
int queueStopped(const EntryContext& run);

// The report of an entry left out: at once, or behind the entries still being encoded.
void reportOrQueue(QueueContext& run, std::unique_ptr<QueuedItem> item);

// Hands a judged entry to the encoder threads and lets the scan go on as it would behind a
// written entry. Whether the entry is intact, which decides where the scan goes on, is known
// from its decoded bytes already; the queue is kept within its bounds.
int queueJudgedEntry(QueueContext& run, std::unique_ptr<QueuedItem> item, int64_t recordedEnd);
// Queues an entry for the workers, the queue kept within its bounds, and puts out what is ready.
// What salvageHeaderAt returns: written or damaged as `item->outcome.intact` says.
int queueForWorkers(QueueContext& run, std::unique_ptr<QueuedItem> item);

// The password dialog of a run with encoder threads: the person asked first sees the log of
// every entry before this one.
struct DialogAfterQueue {
    QueueContext* run;
    PasswordDialog dialog;
    void* dialogContext;
};

// Puts out everything queued, then asks (context: a DialogAfterQueue).
bool askAfterQueue(void* context, const PasswordRequest& request, char* accepted);

// The reader's progress of a run with encoder threads: the items the workers finished go out
// every few thousand bytes, so that a long entry being decoded does not hold back the log
// lines of those before it.
struct ProgressAfterQueue {
    QueueContext* run;
    void (*progress)(void* context, int thousandths);
    void* progressContext;
};

// Shows the progress, then puts out the finished items (context: a ProgressAfterQueue).
void progressThenPutOut(void* context, int thousandths);

}  // namespace zipsalvage
