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
#include "engine/run/entry_check_ahead.h"
#include "engine/run/entry_pipeline.h"
#include "engine/run/entry_queue.h"
#include "engine/run/line_end_repair.h"
#include "engine/run/run_report.h"
#include "engine/run/scan_steps.h"
#include "engine/scan/entry_names.h"
#include "engine/witness/directory_ahead.h"
#include "engine/witness/directory_witness.h"
#include "resources/strings.h"

namespace zipsalvage {
namespace {

constexpr uint32_t kCancelCheckBytes = 1u << 16;
// Scan states after "PK\1" and "PK\5" (states 1 to 3 follow "P", "PK" and "PK\3").
constexpr int kStateCentral = 4;
constexpr int kStateEnd = 5;

// A candidate header passed over although its name reads like one: the log says so, with the
// name's zero bytes shown as "?", since the entry may be real and is not in the output.
void logImplausibleHeader(EntryContext& run, const LocalHeader& header, const std::string& name) {
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
bool cutOutputAt(EntryContext& run, int64_t headerOffset) {
    return run.output->dropEntry(headerOffset);
}

// The scan's find: the local header whose signature was just read, its name and extra field,
// as an item to judge, and where its recorded data ends (saturating: a damaged Zip64 size may
// be anything). Null, with what salvageHeaderAt returns in `refused`, when the header is
// rejected or cannot be read.
std::unique_ptr<QueuedItem> readFoundEntry(QueueContext& run, int& refused, uint64_t& recordedEnd) {
    refused = kHeaderNotSalvaged;
    int64_t archiveOffset = logicalPosition(run.reader) - 4;  // the signature's
    LocalHeader header;
    storeLE32(header.bytes, kLocalHeaderSignature);
    if (!readExact(run.reader, header.bytes + 4, kLocalHeaderSize - 4)) return nullptr;
    uint16_t nameLength = headerField16(header, kLocalNameLength);
    std::string name(nameLength, '\0');
    auto* rawName = reinterpret_cast<uint8_t*>(name.data());
    if (!readExact(run.reader, rawName, nameLength)) {
        // A long name running into the archive's end is most likely a false signature's: the
        // bytes it took are scanned again.
        if (nameLength > kShortNameLength) {
            refused = kHeaderRejected;
            return nullptr;
        }
        logText(run, loadText(kTextPrematureEnd));
        return nullptr;
    }
    if (!headerIsPlausible(header, rawName, nameLength)) {
        if (nameLooksReal(rawName, nameLength)) logImplausibleHeader(run, header, name);
        refused = kHeaderRejected;
        return nullptr;
    }

    if (!run.directoryAhead.records.empty()) run.headersSeen.push_back(archiveOffset);
    OwnedEntry owned(new (std::nothrow) SalvagedEntry{});
    SalvagedEntry* entry = owned.get();
    if (entry == nullptr) return nullptr;
    entry->name = std::move(name);
    entry->header = header;
    entry->metadata.archiveOffset = archiveOffset;
    // A shortfall in the extra field is not an error: the extraction then finds no input, and
    // the fields read whole (Zip64 sizes, kept fields) are still looked at.
    std::vector<uint8_t> extra(headerField16(header, kLocalExtraLength));
    extra.resize(static_cast<size_t>(
        readUpTo(run.reader, extra.data(), static_cast<int64_t>(extra.size()))));
    EntrySizes recorded = recordedSizes(header, extra.data(), extra.size());
    if (!describeLocalEntry(*entry, extra.data(), extra.size())) return nullptr;
    if (run.ui.entryStarted != nullptr) {
        run.ui.entryStarted(run.ui.context, shownName(run, *entry).c_str());
    }

    uint64_t dataStart = static_cast<uint64_t>(logicalPosition(run.reader));
    recordedEnd = dataStart + recorded.compressed;
    if (recordedEnd < dataStart || recordedEnd > static_cast<uint64_t>(INT64_MAX)) {
        recordedEnd = static_cast<uint64_t>(INT64_MAX);
    }
    std::unique_ptr<QueuedItem> item(new (std::nothrow) QueuedItem);
    if (item == nullptr) return nullptr;
    item->entry = std::move(owned);
    item->recordedHeader = header;
    item->recordedSizes = recorded;
    return item;
}

// A method no writer uses is most likely a damaged field (a flipped bit: 84 for 8). Where the
// directory's record of the entry names a method that decodes, that one is run, and the CRC-32
// judges the bytes; otherwise the entry is copied with the warning of a copy.
void takeDirectoryMethod(EntryContext& run, SalvagedEntry& entry) {
    if (methodIsListed(headerField16(entry.header, kLocalMethod))) return;
    const std::string& recordedName = entry.metadata.recordedName;
    const CentralRecord* record = directoryRecordFor(
        run.directoryAhead, entry.metadata.archiveOffset, recordedName.data(), recordedName.size());
    if (record != nullptr && decodesMethod(record->method)) {
        setHeaderField16(entry.header, kLocalMethod, record->method);
    }
}

// Copies an entry in a method not decoded, its output turn taken. True when it is written.
bool copyKeptMethod(QueueContext& run, QueuedItem& item) {
    SalvagedEntry& entry = *item.entry;
    bool salvaged = false;
    const bool begun = beginCopiedEntry(run, entry, item.recordedSizes);
    // Found, and when not begun left out by the output (it said why).
    if (begun || !run.outputFailed) ++run.filesFound;
    if (begun) salvaged = copyEntryAsIs(run, entry, item.verdict);
    // The copy leaves the reader where the scan goes on (its sizes may be the directory's).
    item.outcome.positioned = salvaged;
    // Copied, not judged: its bytes are taken as its own for the scan (the copy itself looks
    // through data that does not end at a record).
    item.outcome.intact = true;
    return salvaged;
}

// Copies an entry no password opened as it lies, its output turn taken. True when it is
// written.
bool copyStillEncrypted(EntryContext& run, QueuedItem& item) {
    SalvagedEntry& entry = *item.entry;
    EntryOutcome& outcome = item.outcome;
    bool salvaged = false;
    if (beginCopiedEntry(run, entry, item.recordedSizes)) {
        salvaged = copyUndecryptable(run, entry, item.verdict);
    } else if (!run.outputFailed) {
        // and left out by an output that cannot keep it encrypted
        item.verdict = EntryVerdict::kUndecryptable;
    }
    outcome.positioned = salvaged;
    outcome.intact = true;  // its bytes are taken as its own, as for any copy
    // The report gives what the copy keeps: the recorded sizes and CRC-32, or the directory's
    // or descriptor's where flag bit 3 left the header's empty.
    outcome.streamed = true;
    outcome.recordedSize = entry.sizes.uncompressed;
    outcome.recordedCrc = headerField32(entry.header, kLocalCrc32);
    return salvaged;
}

// The end of an entry taken on the scanning thread: where the scan goes on, its report, and
// its header finished (written) or what went out of it cut (left out).
int finishFoundEntry(QueueContext& run, std::unique_ptr<QueuedItem> item, bool salvaged,
                     int64_t headerOffset, uint64_t recordedEnd) {
    if (run.outputFailed) {
        // The output is discarded whole: nothing is cut, and the entry is not judged.
        return kHeaderOutputFailed;
    }
    const EntryOutcome& outcome = item->outcome;
    if (!outcome.positioned) {
        keepBytesAfterData(run.reader, static_cast<int64_t>(recordedEnd),
                           salvaged ? kRewindAfterEntry : 0);
    }
    if (!salvaged) {
        if (!isCancelled(run.flags)) reportOrQueue(run, std::move(item));
        // Only an entry whose header went out has anything to cut.
        if (headerOffset < 0) return kHeaderNotSalvaged;
        bool cut = cutOutputAt(run, headerOffset);
        return cut ? kHeaderNotSalvaged : kHeaderOutputFailed;
    }
    if (!isCancelled(run.flags)) {
        reportEntry(run, *item, true);
    }
    SalvagedEntry& entry = *item->entry;
    finishOutputHeader(entry);
    if (!run.output->finishEntry(entry)) return kHeaderOutputFailed;
    const bool intact = outcome.intact;
    appendEntry(run, item->entry.release());
    return intact ? kHeaderEntryWritten : kHeaderEntryDamaged;
}

}  // namespace

int salvageHeaderAt(QueueContext& run) {
    int refused = kHeaderNotSalvaged;
    uint64_t recordedEnd = 0;
    std::unique_ptr<QueuedItem> item = readFoundEntry(run, refused, recordedEnd);
    if (item == nullptr) return refused;
    SalvagedEntry& entry = *item->entry;
    takeDirectoryMethod(run, entry);
    int checked = kHeaderNotSalvaged;
    if (checksAhead(run, *item) && queueCheckAhead(run, item, checked)) return checked;
    // A password asked for or remembered cannot be taken back: checks queued are settled first.
    if ((headerField16(entry.header, kLocalFlags) & kFlagEncrypted) != 0 && !settleChecks(run)) {
        return queueStopped(run);
    }
    bool salvaged = false;
    int64_t headerOffset = -1;  // where the entry's bytes begin in the output, once it has any
    if (keepsMethodAsIs(entry)) {
        // A copy goes straight to the output, behind every entry before it.
        headerOffset = takeOutputTurn(run, entry);
        if (headerOffset < 0) return queueStopped(run);
        salvaged = copyKeptMethod(run, *item);
    } else {
        ++run.filesFound;
        if (judgeEntry(run, *item, item->recordedSizes)) {
            // An entry that may be copied as it is needs no encoder: with nothing queued ahead
            // of it, it goes out at once rather than through a worker that would have nothing
            // to do.
            const bool copyNow = run.copyIntact && item->original.copyable &&
                                 run.pipeline != nullptr && pipelineIdle(*run.pipeline);
            if (run.pipeline != nullptr && !item->decoded.spilled &&
                item->decoded.file == kInvalidFile && !copyNow) {
                return queueJudgedEntry(run, std::move(item), static_cast<int64_t>(recordedEnd));
            }
            // An entry too big for memory is re-encoded here, from its temporary file.
            headerOffset = takeOutputTurn(run, entry);
            if (headerOffset < 0) return queueStopped(run);
            salvaged = writeJudgedEntry(run, *item);
        } else if (item->outcome.keepEncrypted) {
            // No password opened it: the entry goes out as it lies, behind every entry before
            // it.
            headerOffset = takeOutputTurn(run, entry);
            if (headerOffset < 0) return queueStopped(run);
            salvaged = copyStillEncrypted(run, *item);
        }
    }
    return finishFoundEntry(run, std::move(item), salvaged, headerOffset, recordedEnd);
}

// The parts of a split archive, by file name, and each one missing.
static void logSplitArchive(EntryContext& run) {
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

// The damaged archive's own directory is read on the way as a second witness; the scan then
// goes on right after the record's signature, as if it had not looked. What is read there
// cannot be taken back, so checks queued are settled first; false when one failed.
static bool readDirectoryRecord(SalvageRun& run, int state) {
    settleChecks(run);
    if (checkFailed(run)) return false;
    if (state == kStateCentral) readCentralHeaderHere(run.reader, run.directory);
    if (state == kStateEnd) readEndRecordHere(run.reader, run.directory);
    return true;
}

// The byte-by-byte scan for local headers, each one found salvaged at once. kCompleted when
// the archive's end was reached.
static RunResult scanForHeaders(SalvageRun& run) {
    uint64_t lookedAgain = 0;  // bytes scanned again behind damaged entries
    int state = 0;
    uint32_t sinceCancelCheck = 0;
    uint8_t byte = 0;
    RunResult ended = RunResult::kCompleted;
    while (true) {
        // Outside a signature, every byte but a "P" before a "K" leaves the state at 0 (a "P"
        // before anything else comes back to 0 at the next byte): pass over them in bulk.
        if (state == 0)
            sinceCancelCheck +=
                static_cast<uint32_t>(skipBufferedUntilPair(run.reader, 0x50, 0x4B));
        bool failedCheck = false;
        if (!readByte(run.reader, byte)) {
            // At the end every check is settled: one that failed sends the scan back.
            settleChecks(run);
            if (!checkFailed(run)) break;
            failedCheck = true;
        } else if (++sinceCancelCheck >= kCancelCheckBytes) {
            // A long stretch without signatures still answers a cancel promptly.
            sinceCancelCheck = 0;
            if (isCancelled(run.flags)) return RunResult::kCancelled;
            failedCheck = checkFailed(run);
        }
        if (failedCheck) {
            state = 0;
            if (!goOnBehindHeader(run, kHeaderNotSalvaged, lookedAgain, ended)) return ended;
            continue;
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
        if (state == kStateCentral || state == kStateEnd) {
            const int recordState = state;
            state = 0;
            if (byte != (recordState == kStateCentral ? 0x02 : 0x06)) continue;
            if (readDirectoryRecord(run, recordState)) continue;
            if (!goOnBehindHeader(run, kHeaderNotSalvaged, lookedAgain, ended)) return ended;
            continue;
        }
        if (state != 3 || byte != 0x04) {
            state = 0;
            continue;
        }
        state = 0;
        markResume(run.reader);
        int result = salvageFoundHeader(run, lookedAgain);
        if (!goOnBehindHeader(run, result, lookedAgain, ended)) return ended;
    }
    return RunResult::kCompleted;
}

// Behind the scan: the entries still queued, those the directory lists and the scan missed,
// then the new central directory and the summary.
static RunResult finishArchive(SalvageRun& run) {
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

// The scan and the directory; runSalvage adds the clean-up every way out needs.
static RunResult scanArchive(SalvageRun& run) {
    logText(run, loadText(kTextBeginning));
    logSplitArchive(run);
    // Everything after this reads the undone copy when a text-mode transfer converted the archive.
    LineEndRepair lineEndRepair;
    if (!repairLineEnds(run, lineEndRepair)) return RunResult::kCancelled;
    readDirectoryAhead(run.reader, run.directoryAhead);
    RunResult scanned = scanForHeaders(run);
    if (scanned != RunResult::kCompleted) return scanned;
    return finishArchive(run);
}

RunResult runSalvage(SalvageRun& run) {
    if (run.output == nullptr) return RunResult::kOutputFailed;
    // Entries that go out as their decoded bytes leave the encoder threads nothing to do.
    int encoders = run.output->takesDecodedBytes() ? 0 : encoderThreadsFor(run.threads);
    OwnedPipeline pipeline = startEntryPipeline(run.flags, encoders);
    run.pipeline = pipeline.get();
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
    pipeline.reset();
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
