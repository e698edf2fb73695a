// runSalvage: the byte-by-byte scan for local headers, then the new central directory.
#include "engine/run/salvage_run.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/entry/entry_copy.h"
#include "engine/entry/entry_salvage.h"
#include "engine/entry/intact_copy.h"
#include "engine/run/directory_recovery.h"
#include "engine/run/entry_pipeline.h"
#include "engine/run/line_end_repair.h"
#include "engine/scan/entry_names.h"
#include "engine/witness/directory_ahead.h"
#include "engine/witness/directory_witness.h"
#include "resources/strings.h"

namespace zipsalvage {
namespace {

constexpr int kRewindAfterEntry = 8;  // the scan looks again at the last 8 bytes an entry read
constexpr uint32_t kCancelCheckBytes = 1u << 16;
// Scan states after "PK\1" and "PK\5" (states 1 to 3 follow "P", "PK" and "PK\3").
constexpr int kStateCentral = 4;
constexpr int kStateEnd = 5;

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

// Explode and inflate may read up to 10 bytes past an entry's data (damaged data that runs
// out), and those bytes are often the next local header. The scan resumes `rewind` bytes before
// where the reader stands; this steps the reader back so that it resumes at `dataEnd` at the
// latest and sees all of them.
void keepBytesAfterData(ArchiveReader& reader, int64_t dataEnd, int32_t rewind) {
    int64_t beyond = logicalPosition(reader) - rewind - dataEnd;
    if (beyond > 0) stepBack(reader, static_cast<int32_t>(beyond));
}

// A candidate header passed over although its name reads like one: the log says so, with the
// name's zero bytes shown as "?", since the entry may be real and is not in the output.
void logImplausibleHeader(SalvageRun& run, const LocalHeader& header, const std::string& name) {
    std::string raw = name;
    for (char& letter : raw) {
        if (letter == '\0') letter = '?';
    }
    bool utf8 = (headerField16(header, kLocalFlags) & kFlagUtf8Name) != 0;
    std::string shown = shownName(run, raw.c_str(), utf8);
    std::string line(shown.size() + 256, '\0');
    // The signature stood just before the resume mark.
    int64_t headerAt = run.reader.resumePoint - 4;
    formatText(line.data(), static_cast<int>(line.size()), loadText(kTextImplausibleHeader),
               shown.c_str(), static_cast<unsigned long long>(headerAt < 0 ? 0 : headerAt));
    logText(run, line.c_str());
}

// Cuts everything written for an entry from `headerOffset` on.
bool cutOutputAt(SalvageRun& run, int64_t headerOffset) {
    return run.output->dropEntry(headerOffset);
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

}  // namespace

void logText(SalvageRun& run, const char* text) {
    // Behind entries still being encoded, a line waits its turn; one that belongs to the entry
    // being put out of the queue goes out at once.
    if (run.pipeline != nullptr && !run.puttingOutQueued && !pipelineIdle(*run.pipeline)) {
        std::unique_ptr<QueuedItem> item(new (std::nothrow) QueuedItem);
        if (item != nullptr) {
            item->isLine = true;
            item->line = text;
            queueItem(*run.pipeline, std::move(item));
            return;
        }
    }
    if (run.ui.logLine != nullptr) run.ui.logLine(run.ui.context, text);
}

std::string shownName(SalvageRun& run, const char* rawName, bool utf8) {
    std::string shown;
    if (run.ui.displayName != nullptr) {
        run.ui.displayName(run.ui.context, rawName, utf8, shown);
    } else {
        shown = rawName;
    }
    return shown;
}

std::string shownName(SalvageRun& run, const SalvagedEntry& entry) {
    return shownName(run, entry.name.c_str(),
                     (headerField16(entry.header, kLocalFlags) & kFlagUtf8Name) != 0);
}

bool beginOutputEntry(SalvageRun& run, SalvagedEntry& entry) {
    OutputStep step = run.output->beginEntry(entry);
    if (step == OutputStep::kFailed) run.outputFailed = true;
    return step == OutputStep::kDone;
}

// Shows or writes one item taken from the queue, as a one-thread run would have at its turn.
// False when the output failed.
static bool putOutItem(SalvageRun& run, QueuedItem& item) {
    if (item.isLine) {
        if (run.ui.logLine != nullptr) run.ui.logLine(run.ui.context, item.line.c_str());
        return true;
    }
    run.puttingOutQueued = true;
    bool salvaged = false;
    if (item.toWrite) {
        CounterSnapshot before = countersOf(run);
        int64_t headerOffset = run.output->position();
        if (headerOffset >= 0) {
            item.entry->headerOffset = static_cast<uint64_t>(headerOffset);
            salvaged = writeQueuedEntry(run, item);
            ++run.encodedOnThreads;
        } else {
            run.outputFailed = true;
        }
        addRaised(run, before, item.raised);
    }
    if (!run.outputFailed && !isCancelled(run.flags)) {
        reportEntry(run, item.recordedHeader, item.recordedSizes, item.outcome, *item.entry,
                    salvaged, item.raised);
    }
    if (salvaged && !run.outputFailed) appendEntry(run, item.entry.release());
    run.puttingOutQueued = false;
    return !run.outputFailed;
}

// Shows and writes the items at the queue's front that are ready; with `waitForAll`, every
// item, waiting for the encoders. False when the output failed or the run was cancelled.
static bool putOutQueued(SalvageRun& run, bool waitForAll) {
    if (run.pipeline == nullptr) return true;
    while (!pipelineIdle(*run.pipeline)) {
        if (isCancelled(run.flags)) return false;
        std::unique_ptr<QueuedItem> item = takeReadyItem(*run.pipeline, waitForAll);
        if (item == nullptr) {
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
static int64_t takeOutputTurn(SalvageRun& run, SalvagedEntry& entry) {
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
static bool beginCopiedEntry(SalvageRun& run, SalvagedEntry& entry, const EntrySizes& recorded) {
    entry.sizes = recorded;
    entry.zip64Local = needsZip64(recorded.compressed) || needsZip64(recorded.uncompressed);
    return beginOutputEntry(run, entry);
}

// What salvageHeaderAt returns when putting out the queue stopped.
static int queueStopped(const SalvageRun& run) {
    return run.outputFailed ? kHeaderOutputFailed : kHeaderNotSalvaged;
}

// The report of an entry left out: at once, or behind the entries still being encoded.
static void reportOrQueue(SalvageRun& run, std::unique_ptr<QueuedItem> item) {
    if (run.pipeline == nullptr || pipelineIdle(*run.pipeline)) {
        reportEntry(run, item->recordedHeader, item->recordedSizes, item->outcome, *item->entry,
                    false, item->raised);
        return;
    }
    item->toWrite = false;
    queueItem(*run.pipeline, std::move(item));
}

// Hands a judged entry to the encoder threads and lets the scan go on as it would behind a
// written entry. Whether the entry is intact, which decides where the scan goes on, is known
// from its decoded bytes already; the queue is kept within its bounds.
static int queueJudgedEntry(SalvageRun& run, std::unique_ptr<QueuedItem> item,
                            const CounterSnapshot& before, int64_t recordedEnd) {
    item->outcome.intact = judgedEntryIntact(*item);
    item->copyOriginal = copiesOriginal(run, *item, item->outcome.intact);
    item->toWrite = true;
    trimDecodedTail(item->decoded);
    item->heldBytes = heldDecodedBytes(item->decoded);
    addRaised(run, before, item->raised);
    const bool intact = item->outcome.intact;
    if (!item->outcome.positioned) keepBytesAfterData(run.reader, recordedEnd, kRewindAfterEntry);
    while (pipelineFull(*run.pipeline)) {
        if (isCancelled(run.flags)) return kHeaderNotSalvaged;
        std::unique_ptr<QueuedItem> oldest = takeReadyItem(*run.pipeline, true);
        if (oldest != nullptr && !putOutItem(run, *oldest)) return kHeaderOutputFailed;
    }
    queueItem(*run.pipeline, std::move(item));
    if (!putOutQueued(run, false)) return queueStopped(run);
    return intact ? kHeaderEntryWritten : kHeaderEntryDamaged;
}

int salvageHeaderAt(SalvageRun& run) {
    int64_t archiveOffset = logicalPosition(run.reader) - 4;  // the signature's
    LocalHeader header;
    storeLE32(header.bytes, kLocalHeaderSignature);
    if (!readExact(run.reader, header.bytes + 4, kLocalHeaderSize - 4)) return kHeaderNotSalvaged;
    uint16_t nameLength = headerField16(header, kLocalNameLength);
    std::string name(nameLength, '\0');
    auto* rawName = reinterpret_cast<uint8_t*>(name.data());
    if (!readExact(run.reader, rawName, nameLength)) {
        // A long name running into the archive's end is most likely a false signature's: the
        // bytes it took are scanned again.
        if (nameLength > kShortNameLength) return kHeaderRejected;
        logText(run, loadText(kTextPrematureEnd));
        return kHeaderNotSalvaged;
    }
    if (!headerIsPlausible(header, rawName, nameLength)) {
        if (nameLooksReal(rawName, nameLength)) logImplausibleHeader(run, header, name);
        return kHeaderRejected;
    }

    if (!run.directoryAhead.records.empty()) run.headersSeen.push_back(archiveOffset);
    OwnedEntry owned(new (std::nothrow) SalvagedEntry{});
    SalvagedEntry* entry = owned.get();
    if (entry == nullptr) return kHeaderNotSalvaged;
    entry->name = std::move(name);
    entry->header = header;
    entry->metadata.archiveOffset = archiveOffset;
    // A shortfall in the extra field is not an error: the extraction then finds no input, and
    // the fields read whole (Zip64 sizes, kept fields) are still looked at.
    std::vector<uint8_t> extra(headerField16(header, kLocalExtraLength));
    extra.resize(static_cast<size_t>(
        readUpTo(run.reader, extra.data(), static_cast<int64_t>(extra.size()))));
    EntrySizes recorded = recordedSizes(header, extra.data(), extra.size());
    if (!describeLocalEntry(*entry, extra.data(), extra.size())) {
        return kHeaderNotSalvaged;
    }
    if (run.ui.entryStarted != nullptr) {
        run.ui.entryStarted(run.ui.context, shownName(run, *entry).c_str());
    }

    // Where the recorded data ends (saturating: a damaged Zip64 size may be anything).
    uint64_t dataStart = static_cast<uint64_t>(logicalPosition(run.reader));
    uint64_t recordedEnd = dataStart + recorded.compressed;
    if (recordedEnd < dataStart || recordedEnd > static_cast<uint64_t>(INT64_MAX)) {
        recordedEnd = static_cast<uint64_t>(INT64_MAX);
    }
    std::unique_ptr<QueuedItem> item(new (std::nothrow) QueuedItem);
    if (item == nullptr) return kHeaderNotSalvaged;
    item->entry = std::move(owned);
    item->recordedHeader = header;
    item->recordedSizes = recorded;
    EntryOutcome& outcome = item->outcome;
    // What the entry itself counts, for its report; entries put out of the queue meanwhile
    // count their own.
    CounterSnapshot before = countersOf(run);
    bool salvaged = false;
    int64_t headerOffset = -1;  // where the entry's bytes begin in the output, once it has any
    // A method no writer uses is most likely a damaged field (a flipped bit: 84 for 8). Where
    // the directory's record of the entry names a method that decodes, that one is run, and
    // the CRC-32 judges the bytes; otherwise the entry is copied with the warning of a copy.
    if (!methodIsListed(headerField16(header, kLocalMethod))) {
        const std::string& recordedName = entry->metadata.recordedName;
        const CentralRecord* record = directoryRecordFor(run.directoryAhead, archiveOffset,
                                                         recordedName.data(), recordedName.size());
        if (record != nullptr && decodesMethod(record->method)) {
            setHeaderField16(entry->header, kLocalMethod, record->method);
        }
    }
    if (keepsMethodAsIs(*entry)) {
        // A copy goes straight to the output, behind every entry before it.
        headerOffset = takeOutputTurn(run, *entry);
        if (headerOffset < 0) return queueStopped(run);
        before = countersOf(run);
        if (beginCopiedEntry(run, *entry, recorded)) {
            salvaged = copyEntryAsIs(run, *entry);
        } else if (!run.outputFailed) {
            ++run.filesFound;  // found, and left out by the output (it said why)
        }
        // The copy leaves the reader where the scan goes on (its sizes may be the directory's).
        outcome.positioned = salvaged;
        // Copied, not judged: its bytes are taken as its own for the scan (the copy itself
        // looks through data that does not end at a record).
        outcome.intact = true;
    } else if (judgeEntry(run, *item, recorded)) {
        // An entry that may be copied as it is needs no encoder: with nothing queued ahead of
        // it, it goes out at once rather than through a worker that would have nothing to do.
        const bool copyNow = run.copyIntact && item->original.copyable && run.pipeline != nullptr &&
                             pipelineIdle(*run.pipeline);
        if (run.pipeline != nullptr && !item->decoded.spilled &&
            item->decoded.file == kInvalidFile && !copyNow) {
            return queueJudgedEntry(run, std::move(item), before,
                                    static_cast<int64_t>(recordedEnd));
        }
        // An entry too big for memory is re-encoded here, from its temporary file.
        addRaised(run, before, item->raised);
        headerOffset = takeOutputTurn(run, *entry);
        if (headerOffset < 0) return queueStopped(run);
        before = countersOf(run);
        salvaged = writeJudgedEntry(run, *item);
    } else if (outcome.keepEncrypted) {
        // No password opened it: the entry goes out as it lies, behind every entry before it.
        headerOffset = takeOutputTurn(run, *entry);
        if (headerOffset < 0) return queueStopped(run);
        before = countersOf(run);
        if (beginCopiedEntry(run, *entry, recorded)) {
            salvaged = copyUndecryptable(run, *entry);
        } else if (!run.outputFailed) {
            ++run.undecryptableCount;  // and left out by an output that cannot keep it encrypted
        }
        outcome.positioned = salvaged;
        outcome.intact = true;  // its bytes are taken as its own, as for any copy
        // The report gives what the copy keeps: the recorded sizes and CRC-32, or the
        // directory's or descriptor's where flag bit 3 left the header's empty.
        outcome.streamed = true;
        outcome.recordedSize = entry->sizes.uncompressed;
        outcome.recordedCrc = headerField32(entry->header, kLocalCrc32);
    }
    if (run.outputFailed) {
        // The output is discarded whole: nothing is cut, and the entry is not judged.
        return kHeaderOutputFailed;
    }
    if (!outcome.positioned) {
        keepBytesAfterData(run.reader, static_cast<int64_t>(recordedEnd),
                           salvaged ? kRewindAfterEntry : 0);
    }
    if (!salvaged) {
        if (!isCancelled(run.flags)) {
            addRaised(run, before, item->raised);
            reportOrQueue(run, std::move(item));
        }
        // Only an entry whose header went out has anything to cut.
        if (headerOffset < 0) return kHeaderNotSalvaged;
        bool cut = cutOutputAt(run, headerOffset);
        return cut ? kHeaderNotSalvaged : kHeaderOutputFailed;
    }
    if (!isCancelled(run.flags)) {
        addRaised(run, before, item->raised);
        reportEntry(run, header, recorded, outcome, *entry, true, item->raised);
    }

    finishOutputHeader(*entry);
    if (!run.output->finishEntry(*entry)) return kHeaderOutputFailed;
    appendEntry(run, item->entry.release());
    return outcome.intact ? kHeaderEntryWritten : kHeaderEntryDamaged;
}

// How many times over the archive's size the scan may look again behind damaged entries.
constexpr uint64_t kLookAgainPasses = 4;

// True when the bytes behind the damaged entry just read (from its signature to where the
// reader stands) may be scanned again, and counts them in `lookedAgain`. The bound keeps a
// crafted nest of damaged entries, each claiming the rest of the archive, from costing one pass
// over the rest per entry (quadratic time and output); real damage stays far below it, since
// entries that do not nest give the archive's size at most.
static bool mayLookAgain(const ArchiveReader& reader, uint64_t& lookedAgain) {
    int64_t behind = logicalPosition(reader) - reader.resumePoint;
    auto bytes = static_cast<uint64_t>(behind > 0 ? behind : 0);
    if (lookedAgain + bytes > kLookAgainPasses * reader.archiveSize) return false;
    lookedAgain += bytes;
    return true;
}

// The entries the directory read ahead lists and the scan missed, in the directory's order:
// each one recovered from its record or named as lost. False when the output failed or the run
// was cancelled.
static bool recoverUnseenEntries(SalvageRun& run) {
    std::sort(run.headersSeen.begin(), run.headersSeen.end());
    for (const CentralRecord& record : run.directoryAhead.records) {
        if (isCancelled(run.flags)) return false;
        int64_t offset = unseenHeaderOffset(run, record);
        if (offset < 0) continue;
        CounterSnapshot before = countersOf(run);
        std::unique_ptr<QueuedItem> item;
        DirectoryRecovery recovery = recoverFromDirectory(run, record, offset, item);
        if (recovery == DirectoryRecovery::kOutputFailed) return false;
        if (item == nullptr) continue;
        CounterSnapshot raised;
        addRaised(run, before, raised);
        const bool written = recovery == DirectoryRecovery::kRecovered;
        reportEntry(run, item->recordedHeader, item->recordedSizes, item->outcome, *item->entry,
                    written, raised);
        if (written) appendEntry(run, item->entry.release());
    }
    return true;
}

// The parts of a split archive, by file name, and each one missing.
static void logSplitArchive(SalvageRun& run) {
    if (run.reader.parts.empty()) return;
    std::string names;
    for (const ArchivePart& part : run.reader.parts) {
        if (!names.empty()) names += ", ";
        names += part.path.substr(part.path.find_last_of("/\\") + 1);
    }
    std::string line(names.size() + 256, '\0');
    formatText(line.data(), static_cast<int>(line.size()), textOf(kTextSplitArchiveParts),
               static_cast<unsigned long long>(run.reader.parts.size()), names.c_str());
    logText(run, line.c_str());
    for (const ArchivePart& part : run.reader.parts) {
        if (part.handle != kInvalidFile) continue;
        std::string missing(part.path.size() + 256, '\0');
        formatText(missing.data(), static_cast<int>(missing.size()), textOf(kTextSplitPartMissing),
                   part.path.c_str());
        logText(run, missing.c_str());
    }
}

// The scan and the directory; runSalvage adds the clean-up every way out needs.
static RunResult scanArchive(SalvageRun& run) {
    logText(run, loadText(kTextBeginning));
    logSplitArchive(run);
    // Everything after this reads the undone copy when a text-mode transfer converted the archive.
    LineEndRepair lineEndRepair;
    if (!repairLineEnds(run, lineEndRepair)) return RunResult::kCancelled;
    readDirectoryAhead(run.reader, run.directoryAhead);
    uint64_t lookedAgain = 0;  // bytes scanned again behind damaged entries
    int state = 0;
    uint32_t sinceCancelCheck = 0;
    uint8_t byte = 0;
    while (true) {
        // Outside a signature, every byte but a "P" before a "K" leaves the state at 0 (a "P"
        // before anything else comes back to 0 at the next byte): pass over them in bulk.
        if (state == 0)
            sinceCancelCheck +=
                static_cast<uint32_t>(skipBufferedUntilPair(run.reader, 0x50, 0x4B));
        if (!readByte(run.reader, byte)) break;
        // A long stretch without signatures still answers a cancel promptly.
        if (++sinceCancelCheck >= kCancelCheckBytes) {
            sinceCancelCheck = 0;
            if (isCancelled(run.flags)) return RunResult::kCancelled;
        }
        // "P" is tested first in every state, so "PPK\3\4" and "PK\3PK\3\4" are found.
        if (byte == 0x50) {
            state = 1;
            continue;
        }
        if (state == 1) {
            state = byte == 0x4B ? 2 : 0;
            continue;
        }
        if (state == 2) {
            state = byte == 0x03 ? 3 : byte == 0x01 ? kStateCentral : byte == 0x05 ? kStateEnd : 0;
            continue;
        }
        // The damaged archive's own directory is read on the way as a second witness; the scan
        // then goes on right after its signature, as if it had not looked.
        if (state == kStateCentral || state == kStateEnd) {
            if (state == kStateCentral && byte == 0x02)
                readCentralHeaderHere(run.reader, run.directory);
            if (state == kStateEnd && byte == 0x06) readEndRecordHere(run.reader, run.directory);
            state = 0;
            continue;
        }
        if (state != 3 || byte != 0x04) {
            state = 0;
            continue;
        }
        state = 0;
        markResume(run.reader);
        int result = salvageHeaderAt(run);
        if (isCancelled(run.flags)) return RunResult::kCancelled;
        if (result == kHeaderOutputFailed) {
            showOutputError(run);
            return RunResult::kOutputFailed;
        }
        if (result == kHeaderEntryWritten) stepBack(run.reader, kRewindAfterEntry);
        // A damaged entry may have taken bytes that are not its own (a wrong size, a stream
        // that lost its end): the next header may lie among them, so the scan looks again at
        // everything behind this entry's signature. An intact entry's bytes are its own, so a
        // stored archive inside one stays a single entry.
        if (result == kHeaderRejected) rewindToMark(run.reader);
        if (result == kHeaderEntryDamaged && mayLookAgain(run.reader, lookedAgain)) {
            rewindToMark(run.reader);
        }
    }
    if (!putOutQueued(run, true) && !run.outputFailed) return RunResult::kCancelled;
    if (run.outputFailed) {
        showOutputError(run);
        return RunResult::kOutputFailed;
    }
    if (isCancelled(run.flags)) return RunResult::kCancelled;
    if (!recoverUnseenEntries(run)) {
        if (isCancelled(run.flags)) return RunResult::kCancelled;
        showOutputError(run);
        return RunResult::kOutputFailed;
    }
    // A PNG, a program or an empty file holds nothing to salvage: an archive of no entries
    // would only replace an earlier output with nothing.
    if (run.filesFound == 0) {
        logText(run, loadText(kTextNoFilesFound));
        return RunResult::kNoEntries;
    }
    applyDirectoryWitness(run.entryList, run.directory);
    if (!run.output->finish(run.entryList, run.directory.archiveComment)) {
        showOutputError(run);
        return RunResult::kOutputFailed;
    }
    logSummary(run);
    return RunResult::kCompleted;
}

// The password dialog of a run with encoder threads: the person asked first sees the log of
// every entry before this one.
struct DialogAfterQueue {
    SalvageRun* run;
    PasswordDialog dialog;
    void* dialogContext;
};

static bool askAfterQueue(void* context, const PasswordRequest& request, char* accepted) {
    auto& wrapped = *static_cast<DialogAfterQueue*>(context);
    if (!putOutQueued(*wrapped.run, true)) return false;
    return wrapped.dialog(wrapped.dialogContext, request, accepted);
}

// An item that may go out while the scan is inside another entry: its putting out changes no
// counter (the entry in hand counts what it raises by the counters' difference), so a line, a
// report, or an entry written whole or already judged damaged.
static bool changesNoCounter(const QueuedItem& item) {
    if (item.isLine || !item.toWrite) return true;
    return item.written.succeeded &&
           (item.damaged || !item.crcKnown || item.written.crc == item.expectedCrc);
}

// The reader's progress of a run with encoder threads: the items the workers finished go out
// every few thousand bytes, so that a long entry being decoded does not hold back the log
// lines of those before it.
struct ProgressAfterQueue {
    SalvageRun* run;
    void (*progress)(void* context, int thousandths);
    void* progressContext;
};

static void progressThenPutOut(void* context, int thousandths) {
    auto& wrapped = *static_cast<ProgressAfterQueue*>(context);
    if (wrapped.progress != nullptr) wrapped.progress(wrapped.progressContext, thousandths);
    SalvageRun& run = *wrapped.run;
    if (run.pipeline == nullptr || run.puttingOutQueued || run.outputFailed ||
        isCancelled(run.flags)) {
        return;
    }
    while (std::unique_ptr<QueuedItem> item = takeReadyItemIf(*run.pipeline, changesNoCounter)) {
        if (!putOutItem(run, *item)) return;
    }
}

RunResult runSalvage(SalvageRun& run) {
    if (run.output == nullptr) return RunResult::kOutputFailed;
    // Entries that go out as their decoded bytes leave the encoder threads nothing to do.
    int encoders = run.output->takesDecodedBytes() ? 0 : encoderThreadsFor(run.threads);
    run.pipeline = startEntryPipeline(run.flags, encoders);
    DialogAfterQueue wrapped{&run, run.passwords.dialog, run.passwords.dialogContext};
    if (run.pipeline != nullptr && wrapped.dialog != nullptr) {
        run.passwords.dialog = askAfterQueue;
        run.passwords.dialogContext = &wrapped;
    }
    ProgressAfterQueue progress{&run, run.reader.progress, run.reader.progressContext};
    if (run.pipeline != nullptr) {
        run.reader.progress = progressThenPutOut;
        run.reader.progressContext = &progress;
    }
    RunResult result = scanArchive(run);
    run.reader.progress = progress.progress;
    run.reader.progressContext = progress.progressContext;
    // The workers stop (on a cancel, within the entry in hand) and what is queued is dropped.
    stopEntryPipeline(run.pipeline);
    run.pipeline = nullptr;
    run.passwords.dialog = wrapped.dialog;
    run.passwords.dialogContext = wrapped.dialogContext;
    discardTempFile();
    if (result == RunResult::kCompleted && run.ui.beforeCommit != nullptr &&
        !run.ui.beforeCommit(run.ui.entryDoneContext)) {
        result = RunResult::kOutputFailed;  // the hook said why
    } else if (result == RunResult::kCompleted && !commitOutput(run)) {
        showOutputError(run);
        result = RunResult::kOutputFailed;
    }
    if (result != RunResult::kCompleted) discardOutput(run);
    return result;
}

}  // namespace zipsalvage
