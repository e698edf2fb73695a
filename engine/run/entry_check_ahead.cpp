// An intact-looking entry checked on a worker while the scan goes on, and the way back to its
// header when the check fails.
#include "engine/run/entry_check_ahead.h"

#include <cstring>
#include <new>

#include "core/zip_format.h"
#include "engine/entry/decoded_bytes.h"
#include "engine/entry/entry_log.h"
#include "engine/entry/intact_copy.h"
#include "engine/output/entry_metadata.h"
#include "engine/run/entry_pipeline.h"
#include "engine/run/entry_queue.h"
#include "engine/run/salvage_run.h"
#include "extract/extract_context.h"
#include "resources/strings.h"

namespace zipsalvage {
namespace {

// The compressed bytes one check may hold. The queue's bound counts them; an entry above it is
// judged on the scanning thread as before.
constexpr uint64_t kMostCheckedBytes = uint64_t{16} << 20;

}  // namespace

ScanMark markScanHere(const QueueContext& run, uint64_t lookedAgain) {
    ScanMark mark;
    mark.signatureEnd = logicalPosition(run.reader);
    mark.filesFound = run.filesFound;
    mark.headersSeen = run.headersSeen.size();
    mark.lookedAgain = lookedAgain;
    return mark;
}

bool checksAhead(const EntryContext& run, const QueuedItem& item) {
    if (!run.copyIntact || run.pipeline == nullptr || run.output->takesDecodedBytes()) return false;
    const SalvagedEntry& entry = *item.entry;
    if (entry.metadata.archiveOffset == uncheckedHeader(*run.pipeline)) return false;
    const uint16_t flags = headerField16(entry.header, kLocalFlags);
    // Encrypted entries are never copied; a descriptor's sizes are known only behind the data.
    if ((flags & (kFlagEncrypted | kFlagDataDescriptor)) != 0) return false;
    const uint16_t method = headerField16(entry.header, kLocalMethod);
    if (method != kMethodStored && method != kMethodDeflated) return false;
    // An entry that would go to the temporary file is judged on the scanning thread, which
    // alone may name that file's failures.
    const EntrySizes& recorded = item.recordedSizes;
    return recorded.compressed <= kMostCheckedBytes &&
           recorded.uncompressed <= decodedMemoryBound() && !needsZip64(recorded.uncompressed);
}

bool queueCheckAhead(QueueContext& run, std::unique_ptr<QueuedItem>& item, int& result) {
    SalvagedEntry& entry = *item->entry;
    const int64_t dataStart = logicalPosition(run.reader);
    std::unique_ptr<CheckAhead, CheckRelease> check(new (std::nothrow) CheckAhead);
    if (check == nullptr) return false;
    check->mark = currentScanMark(*run.pipeline);
    const auto size = static_cast<size_t>(item->recordedSizes.compressed);
    check->held.reset(new (std::nothrow) uint8_t[size + kDataAllowanceBytes]);
    if (check->held == nullptr) return false;
    if (!readExact(run.reader, check->held.get(), static_cast<int64_t>(size))) {
        moveTo(run.reader, dataStart);
        return false;
    }
    // The bytes behind the data, which the decoder may read as the scanning thread's would;
    // the scan goes on at the data's end.
    check->heldBytes = size + static_cast<size_t>(readUpTo(run.reader, check->held.get() + size,
                                                           kDataAllowanceBytes));
    moveTo(run.reader, dataStart + static_cast<int64_t>(size));
    check->dataBytes = size;
    // Everything a judging that finds the entry intact leaves in it, taken as proven; a failed
    // check drops the item whole.
    ++run.filesFound;
    check->method = headerField16(entry.header, kLocalMethod);
    check->flags = headerField16(entry.header, kLocalFlags);
    check->recordedCrc = headerField32(entry.header, kLocalCrc32);
    check->recordedSize = item->recordedSizes.uncompressed;
    item->shownName = shownName(run, entry);
    item->recovered = check->recordedSize;
    item->crcKnown = true;
    item->expectedCrc = check->recordedCrc;
    item->outcome.intact = true;
    item->outcome.recordedSize = check->recordedSize;
    item->outcome.recordedCrc = check->recordedCrc;
    entry.zip64Local = false;
    entry.sizes = EntrySizes{0, check->recordedSize};
    item->original = OriginalData{true, check->method, dataStart, size};
    item->copyOriginal = true;
    item->written = originalAsWritten(*item);
    item->toWrite = true;
    item->heldBytes = size;
    item->check = std::move(check);
    result = queueForWorkers(run, std::move(item));
    return true;
}

void checkEntryAhead(CheckAhead& check) {
    runCheckAhead(check);
    // Behind an entry the scan goes on kRewindAfterEntry bytes before where the decoder left the
    // reader, but no further back than that before the data's end. The check's scan went on as
    // if the decoder had read nothing behind the data; one that did leaves the one-thread scan
    // starting up to kRewindAfterEntry bytes later. The two are the same when the bytes between
    // hold no "P", the first byte of every signature.
    const auto rewind = static_cast<size_t>(kRewindAfterEntry);
    const size_t later = check.bytesPastData < rewind ? check.bytesPastData : rewind;
    if (!check.intact || later == 0) return;
    check.intact = check.dataBytes >= rewind &&
                   std::memchr(check.held.get() + check.dataBytes - rewind, 0x50, later) == nullptr;
}

bool writeCheckedEntry(EntryContext& run, QueuedItem& item) {
    SalvagedEntry& entry = *item.entry;
    // The header goes out once, with the fields of the copy, as for a copy from the queue.
    setHeaderField16(entry.header, kLocalMethod, item.written.method);
    setHeaderField32(entry.header, kLocalCrc32, item.written.crc);
    entry.sizes.compressed = item.written.compressedSize;
    finishOutputHeader(entry);
    if (!beginOutputEntry(run, entry)) return false;
    const CheckAhead& check = *item.check;
    if ((check.dataBytes > 0 &&
         !run.output->write(check.held.get(), static_cast<uint32_t>(check.dataBytes))) ||
        !run.output->finishEntry(entry)) {
        run.outputFailed = true;
        return false;
    }
    logAboutName(run, kTextFileOk, item.shownName, item.recovered);
    return true;
}

bool settleChecks(QueueContext& run) {
    if (run.pipeline == nullptr || !checksQueued(*run.pipeline)) return true;
    return putOutQueued(run, true);
}

bool checkFailed(const EntryContext& run) {
    return run.pipeline != nullptr && pipelineHalted(*run.pipeline);
}

ScanMark restartAtFailedCheck(QueueContext& run) {
    std::unique_ptr<QueuedItem> failed = dropQueuedItems(*run.pipeline);
    const ScanMark mark = failed->check->mark;
    run.filesFound = mark.filesFound;
    run.headersSeen.resize(mark.headersSeen);
    setUncheckedHeader(*run.pipeline, failed->entry->metadata.archiveOffset);
    moveTo(run.reader, mark.signatureEnd);
    markResume(run.reader);
    return mark;
}

}  // namespace zipsalvage
