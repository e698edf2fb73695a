// The queue's turns: log lines, reports and entries put out in archive order.
#include "engine/run/entry_queue.h"

#include <string>

#include "engine/entry/entry_salvage.h"
#include "engine/entry/intact_copy.h"
#include "engine/run/entry_check_ahead.h"
#include "engine/run/entry_pipeline.h"
#include "engine/run/run_report.h"
#include "engine/run/salvage_run.h"

namespace zipsalvage {

// Explode and inflate may read up to 10 bytes past an entry's data (damaged data that runs
// out), and those bytes are often the next local header. The scan resumes `rewind` bytes before
// where the reader stands; this steps the reader back so that it resumes at `dataEnd` at the
// latest and sees all of them.
void keepBytesAfterData(ArchiveReader& reader, int64_t dataEnd, int32_t rewind) {
    int64_t beyond = logicalPosition(reader) - rewind - dataEnd;
    if (beyond > 0) stepBack(reader, static_cast<int32_t>(beyond));
}

void logText(RunLog& log, const char* text) {
    // Behind entries still being encoded, a line waits its turn; one that belongs to the entry
    // being put out of the queue goes out at once.
    if (log.pipeline != nullptr && !log.puttingOutQueued && !pipelineIdle(*log.pipeline)) {
        std::unique_ptr<QueuedItem> item(new (std::nothrow) QueuedItem);
        if (item != nullptr) {
            item->isLine = true;
            item->line = text;
            queueItem(*log.pipeline, std::move(item));
            return;
        }
    }
    if (log.ui.logLine != nullptr) log.ui.logLine(log.ui.context, text);
}

std::string shownName(const RunLog& log, const char* rawName, bool utf8) {
    std::string shown;
    if (log.ui.displayName != nullptr) {
        log.ui.displayName(log.ui.context, rawName, utf8, shown);
    } else {
        shown = rawName;
    }
    return shown;
}

std::string shownName(const RunLog& log, const SalvagedEntry& entry) {
    return shownName(log, entry.name.c_str(),
                     (headerField16(entry.header, kLocalFlags) & kFlagUtf8Name) != 0);
}

bool beginOutputEntry(EntryContext& context, SalvagedEntry& entry) {
    OutputStep step = context.output->beginEntry(entry);
    if (step == OutputStep::kFailed) context.outputFailed = true;
    return step == OutputStep::kDone;
}

// Shows or writes one item taken from the queue, as a one-thread run would have at its turn.
// False when the output failed.
bool putOutItem(QueueContext& run, QueuedItem& item) {
    if (item.isLine) {
        if (run.ui.logLine != nullptr) run.ui.logLine(run.ui.context, item.line.c_str());
        return true;
    }
    run.puttingOutQueued = true;
    bool salvaged = false;
    if (item.toWrite) {
        int64_t headerOffset = run.output->position();
        if (headerOffset >= 0) {
            item.entry->headerOffset = static_cast<uint64_t>(headerOffset);
            salvaged =
                item.check != nullptr ? writeCheckedEntry(run, item) : writeQueuedEntry(run, item);
            ++run.encodedOnThreads;
        } else {
            run.outputFailed = true;
        }
    }
    if (!run.outputFailed && !isCancelled(run.flags)) {
        reportEntry(run, item, salvaged);
    }
    if (salvaged && !run.outputFailed) appendEntry(run, item.entry.release());
    run.puttingOutQueued = false;
    return !run.outputFailed;
}

// Shows and writes the items at the queue's front that are ready; with `waitForAll`, every
// item, waiting for the encoders. False when the output failed or the run was cancelled.
bool putOutQueued(QueueContext& run, bool waitForAll) {
    if (run.pipeline == nullptr) return true;
    while (!pipelineIdle(*run.pipeline)) {
        if (isCancelled(run.flags)) return false;
        std::unique_ptr<QueuedItem> item = takeReadyItem(*run.pipeline, waitForAll);
        if (item == nullptr) {
            // A failed check holds back everything behind it until the scan goes back to it.
            if (pipelineHalted(*run.pipeline)) return false;
            if (!waitForAll) return true;
            continue;
        }
        if (!putOutItem(run, *item)) return false;
    }
    return true;
}

// Before an entry writes straight to the output: everything queued goes out first, and the
// entry's header begins where the output then stands. -1 when the queue or the output failed
// (run.outputFailed says which).
int64_t takeOutputTurn(QueueContext& run, SalvagedEntry& entry) {
    if (!putOutQueued(run, true)) return -1;
    int64_t offset = run.output->position();
    if (offset < 0) {
        run.outputFailed = true;
        return -1;
    }
    entry.headerOffset = static_cast<uint64_t>(offset);
    return offset;
}

// A copy keeps the recorded sizes, so its header can go first. False when the output left the
// entry out or failed (run.outputFailed says which).
bool beginCopiedEntry(EntryContext& run, SalvagedEntry& entry, const EntrySizes& recorded) {
    entry.sizes = recorded;
    entry.zip64Local = needsZip64(recorded.compressed) || needsZip64(recorded.uncompressed);
    return beginOutputEntry(run, entry);
}

// What salvageHeaderAt returns when putting out the queue stopped.
int queueStopped(const EntryContext& run) {
    return run.outputFailed ? kHeaderOutputFailed : kHeaderNotSalvaged;
}

// The report of an entry left out: at once, or behind the entries still being encoded.
void reportOrQueue(QueueContext& run, std::unique_ptr<QueuedItem> item) {
    if (run.pipeline == nullptr || pipelineIdle(*run.pipeline)) {
        reportEntry(run, *item, false);
        return;
    }
    item->toWrite = false;
    queueItem(*run.pipeline, std::move(item));
}

// Hands a judged entry to the encoder threads and lets the scan go on as it would behind a
// written entry. Whether the entry is intact, which decides where the scan goes on, is known
// from its decoded bytes already; the queue is kept within its bounds.
int queueJudgedEntry(QueueContext& run, std::unique_ptr<QueuedItem> item, int64_t recordedEnd) {
    item->outcome.intact = judgedEntryIntact(*item);
    item->copyOriginal = copiesOriginal(run, *item, item->outcome.intact);
    item->toWrite = true;
    trimDecodedTail(item->decoded);
    item->heldBytes = heldDecodedBytes(item->decoded);
    if (!item->outcome.positioned) keepBytesAfterData(run.reader, recordedEnd, kRewindAfterEntry);
    return queueForWorkers(run, std::move(item));
}

int queueForWorkers(QueueContext& run, std::unique_ptr<QueuedItem> item) {
    const bool intact = item->outcome.intact;
    while (pipelineFull(*run.pipeline)) {
        if (isCancelled(run.flags) || pipelineHalted(*run.pipeline)) return kHeaderNotSalvaged;
        std::unique_ptr<QueuedItem> oldest = takeReadyItem(*run.pipeline, true);
        if (oldest != nullptr && !putOutItem(run, *oldest)) return kHeaderOutputFailed;
    }
    queueItem(*run.pipeline, std::move(item));
    if (!putOutQueued(run, false)) return queueStopped(run);
    return intact ? kHeaderEntryWritten : kHeaderEntryDamaged;
}

namespace {

// An item that may go out while the scan is inside another entry: a line, a report, or an
// entry written whole or already judged damaged, so that no verdict is settled in the middle of
// another entry's judging.
bool settlesNoVerdict(const QueuedItem& item) {
    if (item.isLine || !item.toWrite) return true;
    return item.written.succeeded &&
           (item.damaged || !item.crcKnown || item.written.crc == item.expectedCrc);
}

}  // namespace

bool askAfterQueue(void* context, const PasswordRequest& request, char* accepted) {
    auto& wrapped = *static_cast<DialogAfterQueue*>(context);
    if (!putOutQueued(*wrapped.run, true)) return false;
    return wrapped.dialog(wrapped.dialogContext, request, accepted);
}

void progressThenPutOut(void* context, int thousandths) {
    auto& wrapped = *static_cast<ProgressAfterQueue*>(context);
    if (wrapped.progress != nullptr) wrapped.progress(wrapped.progressContext, thousandths);
    QueueContext& run = *wrapped.run;
    if (run.pipeline == nullptr || run.puttingOutQueued || run.outputFailed ||
        isCancelled(run.flags)) {
        return;
    }
    while (std::unique_ptr<QueuedItem> item = takeReadyItemIf(*run.pipeline, settlesNoVerdict)) {
        if (!putOutItem(run, *item)) return;
    }
}

}  // namespace zipsalvage
