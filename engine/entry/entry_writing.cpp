// The second half of an entry: its decoded bytes re-encoded into the output, on the scanning
// thread (writeJudgedEntry) or from an encoder thread's work (encodeQueuedEntry, then
// writeQueuedEntry), and the verdict the written bytes give.
#include <string>

#include "engine/entry/entry_log.h"
#include "engine/entry/entry_salvage.h"
#include "engine/entry/intact_copy.h"
#include "recompress/deflate.h"
#include "resources/strings.h"

namespace zipsalvage {
namespace {

// Re-encodes the entry's decoded bytes, as `input` delivers them, into `output`, the stream's
// last pending bytes included: stored when small, already compressed or `storeAnyway`, deflated
// otherwise. The result's `streamMade` is false when no memory was left for the stream's
// buffers (nothing was written then).
Recompressed encodeStream(QueuedItem& item, const StreamInput& input, bool storeAnyway,
                          const StreamOutput& output, RunFlags& flags, const RunFlags& cancel) {
    Recompressed result;
    const uint64_t recoveredSize = item.recovered;
    RecompressStream stream;
    result.streamMade = initRecompressStream(stream, input, output, flags);
    if (!result.streamMade) return result;
    stream.cancelFlags = &cancel;
    bool stored = storeAnyway || recoveredSize < kStoreBelowBytes ||
                  isPrecompressedName(item.entry->name.c_str());
    bool copied = stored ? storeFile(stream) : deflateFile(stream);
    // A read of the temporary file that fails looks like its end: an entry read back short is
    // not written (its header would promise bytes it does not hold), and the log names it.
    if (copied && item.decoded.readPosition != recoveredSize) copied = false;
    if (copied) {
        // The pending bytes are part of the entry: a short write here loses data, so it fails
        // the entry like any other short write.
        uint32_t pending = static_cast<uint32_t>(stream.outFill);
        if (output.write(output.owner, stream.outBuffer, pending) != pending) {
            markWriteFailed(flags);
            copied = false;
        }
    }
    if (copied) {
        result.succeeded = true;
        result.method = stored ? kMethodStored : kMethodDeflated;
        result.crc = stream.crc;
        result.compressedSize = stream.bytesWritten;
    }
    freeRecompressStream(stream);
    return result;
}

Recompressed recompressEntry(EntryContext& run, QueuedItem& item, bool storeAnyway) {
    StreamInput input{};
    if (!startReadingDecoded(item.decoded, input)) {
        logAboutName(run, kTextCannotOpen, item.decoded.path);
        return Recompressed{};
    }
    // Only the output is written from here on: a write failing now is the output's. The stream
    // marks it on flags of its own, as an encoder thread's does, so that it is this call's
    // result and never a mark left on the run's flags for later entries to trip over.
    RunFlags writes;
    Recompressed result =
        encodeStream(item, input, storeAnyway, run.output->dataOutput(), writes, run.flags);
    if (result.streamMade && !result.succeeded && hasWriteFailed(writes)) {
        // A full or failing output disk: the run ends with that message, not with a verdict
        // on this entry.
        run.outputFailed = true;
    } else if (!result.succeeded) {
        // Also no memory for the stream's buffers: the entry is lost, and the log says which.
        logAboutName(run, kTextUnableToRecompress, item.shownName);
    }
    return result;
}

// Writes the entry's local header and then its data. Whether the header carries the Zip64
// extra is settled by the recovered size before any data is written; deflate output that would
// reach 4 GiB from less (incompressible data just under 4 GiB) is replaced by a stored copy,
// which fits the header as written.
bool writeEntry(EntryContext& run, QueuedItem& item, Recompressed& written) {
    SalvagedEntry& entry = *item.entry;
    if (!beginOutputEntry(run, entry)) return false;  // run.outputFailed says whether it ends
    const bool store = run.output->takesDecodedBytes();
    written = recompressEntry(run, item, store);
    if (written.succeeded && !entry.zip64Local && needsZip64(written.compressedSize)) {
        if (!run.output->restartData()) {
            run.outputFailed = true;
            return false;
        }
        written = recompressEntry(run, item, true);
    }
    return written.succeeded;
}

// The entry's header fields from its re-encoding.
void setWrittenFields(SalvagedEntry& entry, const Recompressed& written) {
    setHeaderField16(entry.header, kLocalMethod, written.method);
    setHeaderField32(entry.header, kLocalCrc32, written.crc);
    entry.sizes.compressed = written.compressedSize;
}

// The verdict the written bytes' CRC-32 gives, once they are in the output: a mismatch is
// logged (the bytes are kept, they may still serve), and an entry not found damaged before is
// logged OK.
void logWrittenVerdict(EntryContext& run, QueuedItem& item, const Recompressed& written) {
    if (!item.damaged && item.crcKnown && written.crc != item.expectedCrc) {
        logCrcMismatch(run, item.shownName, written.crc, item.expectedCrc);
        item.verdict = EntryVerdict::kPartial;
        item.damaged = true;
    }
    if (!item.damaged) logAboutName(run, kTextFileOk, item.shownName, item.recovered);
    item.outcome.intact = !item.damaged;
}

}  // namespace

void encodeQueuedEntry(QueuedItem& item, const RunFlags& cancel) {
    if (item.copyOriginal) {
        item.written = originalAsWritten(item);
        return;
    }
    // The stream's own flags: a write that fails is this entry's memory running out, which
    // must not stop what the scan or the other workers do.
    RunFlags own;
    bool storeAnyway = false;
    while (true) {
        StreamInput input{};
        if (!startReadingDecoded(item.decoded, input)) return;
        item.written =
            encodeStream(item, input, storeAnyway, encodedOutput(item.encoded), own, cancel);
        // As writeEntry does: deflate output that would need Zip64 where the header has none
        // is replaced by a stored copy.
        if (storeAnyway || !item.written.succeeded || item.entry->zip64Local ||
            !needsZip64(item.written.compressedSize)) {
            return;
        }
        clearEncoded(item.encoded);
        storeAnyway = true;
    }
}

bool writeQueuedEntry(EntryContext& run, QueuedItem& item) {
    SalvagedEntry& entry = *item.entry;
    if (item.copyOriginal) {
        setWrittenFields(entry, item.written);
        finishOutputHeader(entry);
        if (!beginOutputEntry(run, entry)) return false;
        OriginalCopy copy = writeOriginalData(run, item);
        if (copy == OriginalCopy::kCopied && run.output->finishEntry(entry)) {
            logWrittenVerdict(run, item, item.written);
            return true;
        }
        if (copy != OriginalCopy::kReadFailed || !run.output->dropEntry(entry.headerOffset)) {
            run.outputFailed = true;
            return false;
        }
        // The archive no longer gives the bytes it gave the decoder: re-encoded here instead.
        item.copyOriginal = false;
        encodeQueuedEntry(item, run.flags);
    }
    if (!item.written.succeeded) {
        // Cancelled, or no memory: a cancel ends the run without a word on the entry.
        if (!isCancelled(run.flags)) logAboutName(run, kTextUnableToRecompress, item.shownName);
        return false;
    }
    // The header goes out once, already with the final method, CRC-32 and sizes: the same
    // bytes a one-thread run leaves after rewriting it.
    setWrittenFields(entry, item.written);
    finishOutputHeader(entry);
    if (!beginOutputEntry(run, entry)) return false;
    uint64_t left = item.encoded.size;
    for (size_t index = 0; index < item.encoded.blocks.size() && left > 0; ++index) {
        uint32_t blockSize = item.encoded.blockSizes[index];
        auto piece = static_cast<uint32_t>(left < blockSize ? left : blockSize);
        if (!run.output->write(item.encoded.blocks[index], piece)) {
            run.outputFailed = true;
            return false;
        }
        left -= piece;
    }
    if (!run.output->finishEntry(entry)) {
        run.outputFailed = true;
        return false;
    }
    logWrittenVerdict(run, item, item.written);
    return true;
}

bool writeJudgedEntry(EntryContext& run, QueuedItem& item) {
    Recompressed written;
    OriginalCopy copy = OriginalCopy::kReadFailed;
    // Judged first only where the entry may be copied; the encoder's CRC-32 judges the others.
    if (run.copyIntact && item.original.copyable &&
        copiesOriginal(run, item, judgedEntryIntact(item)))
        copy = writeOriginalEntry(run, item);
    if (copy == OriginalCopy::kWriteFailed || copy == OriginalCopy::kLeftOut) return false;
    if (copy == OriginalCopy::kCopied) {
        written = originalAsWritten(item);
    } else if (!writeEntry(run, item, written)) {
        return false;
    }
    setWrittenFields(*item.entry, written);
    logWrittenVerdict(run, item, written);
    return true;
}

bool judgedEntryIntact(QueuedItem& item) {
    if (item.damaged) return false;
    if (!item.crcKnown) return true;
    uint32_t crc = 0;
    return crcOfDecoded(item.decoded, crc) && crc == item.expectedCrc;
}

}  // namespace zipsalvage
