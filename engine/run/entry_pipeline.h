// Entries re-encoded on worker threads while the scan decodes the next ones.
//
// Deflate dominates a run, and every entry is its own deflate stream, so the scanning thread
// decodes and judges entry N+1 while workers re-encode entry N into memory. Everything a run
// shows or writes still happens on the scanning thread, in archive order: what it would have
// logged, reported or written while earlier entries are still being encoded waits in one queue
// behind them. The output, the log and the report are therefore those of a one-thread run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/run_flags.h"
#include "engine/entry/intact_copy.h"
#include "engine/entry/judged_entry.h"

namespace zipsalvage {

struct EntryPipeline;

// The owner of a pipeline: its release stops the workers (they finish or abandon the entry in
// hand) and drops what is queued.
struct PipelineStop {
    void operator()(EntryPipeline* pipeline) const;
};
using OwnedPipeline = std::unique_ptr<EntryPipeline, PipelineStop>;

// Starts `encoders` worker threads that stop on `cancel`; null when none can be started (the
// run then stays on one thread).
OwnedPipeline startEntryPipeline(const RunFlags& cancel, int encoders);

// True when nothing is queued: whatever the run shows or writes may go out at once.
bool pipelineIdle(const EntryPipeline& pipeline);
// True when the queue holds as much as it may (entries or decoded bytes): the scan waits for
// the oldest before it queues another entry.
bool pipelineFull(const EntryPipeline& pipeline);
// Appends an item; an entry with `toWrite` is handed to the next free worker.
void queueItem(EntryPipeline& pipeline, std::unique_ptr<QueuedItem> item);
// The oldest item when it may go out (a line, a report, or an entry its worker finished), or
// null. With `wait`, waits for the oldest to be ready, up to a short while so that the caller
// can look at its cancel flag; null then too.
std::unique_ptr<QueuedItem> takeReadyItem(EntryPipeline& pipeline, bool wait);
// The oldest item when it is ready and `accept` takes it (looked at under the lock), or null;
// never waits.
std::unique_ptr<QueuedItem> takeReadyItemIf(EntryPipeline& pipeline,
                                            bool (*accept)(const QueuedItem& item));

// Checked entries (entry_check_ahead.h). The queue halts when the check of its oldest item
// failed: nothing more is taken from it until dropQueuedItems.
bool pipelineHalted(const EntryPipeline& pipeline);
// True when a checked entry is queued.
bool checksQueued(const EntryPipeline& pipeline);
// Waits until no worker holds a queued item, then empties the queue; gives its oldest item.
std::unique_ptr<QueuedItem> dropQueuedItems(EntryPipeline& pipeline);
// Where the scan stands at the header in hand, and the header not to be checked again (its
// check failed; -1: none).
void setScanMark(EntryPipeline& pipeline, const ScanMark& mark);
const ScanMark& currentScanMark(const EntryPipeline& pipeline);
void setUncheckedHeader(EntryPipeline& pipeline, int64_t archiveOffset);
int64_t uncheckedHeader(const EntryPipeline& pipeline);

// The number of encoder threads a thread count asks for (0: one per processor); 1 or less
// means no workers at all, the run as one thread.
int encoderThreadsFor(int threads);

}  // namespace zipsalvage
