// runSalvage: the byte-by-byte scan for local headers, then the new central directory.
#include "engine/salvage_run.h"

#include <cstring>
#include <new>
#include <vector>

#include "engine/directory_witness.h"
#include "engine/entry_copy.h"
#include "engine/entry_names.h"
#include "resources/strings.h"

namespace zipsalvage {
namespace {

constexpr int kRewindAfterEntry = 8;  // the scan looks again at the last 8 bytes an entry read
constexpr uint32_t kCancelCheckBytes = 1u << 16;
// Scan states after "PK\1" and "PK\5" (states 1 to 3 follow "P", "PK" and "PK\3").
constexpr int kStateCentral = 4;
constexpr int kStateEnd = 5;

// Writes `count` bytes to the output; false when the write came up short.
bool writeOutput(SalvageRun& run, const void* bytes, uint32_t count) {
    if (count == 0) return true;  // empty extra fields and comments: nothing to write
    if (writeFile(run.outputHandle, bytes, count) == count) return true;
    run.outputFailed = true;
    return false;
}

struct CounterSnapshot {
    int32_t unrecoverable;
    int32_t partial;
    int32_t undecryptable;
    int32_t systemErrors;
};

CounterSnapshot countersOf(const SalvageRun& run) {
    return {run.unrecoverableCount, run.partialCount, run.undecryptableCount, run.systemErrorCount};
}

// The entry's verdict is read from the counter the entry salvage raised for it, so the report
// says what the log and the summary say.
void reportEntry(SalvageRun& run, const LocalHeader& recorded, const LocalHeader& written,
                 const char* name, bool salvaged, const CounterSnapshot& before) {
    if (run.ui.entryDone == nullptr) return;
    EntryReport report{};
    report.rawName = name;
    report.method = headerField16(recorded, kLocalMethod);
    report.recordedSize = headerField32(recorded, kLocalUncompressedSize);
    report.recordedCrc32 = headerField32(recorded, kLocalCrc32);
    report.written = salvaged;
    report.recoveredBytes = salvaged ? headerField32(written, kLocalUncompressedSize) : 0;
    if (run.undecryptableCount > before.undecryptable) {
        report.verdict = EntryVerdict::kUndecryptable;
    } else if (run.systemErrorCount > before.systemErrors) {
        report.verdict = EntryVerdict::kSystemError;
    } else if (!salvaged) {
        report.verdict = EntryVerdict::kNotWritten;
    } else if (run.unrecoverableCount > before.unrecoverable) {
        report.verdict = EntryVerdict::kUnrecoverable;
    } else if (run.partialCount > before.partial) {
        report.verdict = EntryVerdict::kPartial;
    } else {
        report.verdict = EntryVerdict::kWhole;
    }
    run.ui.entryDone(run.ui.entryDoneContext, report);
}

void logCount(SalvageRun& run, int textId, int32_t count) {
    char line[256];
    formatText(line, sizeof line, loadText(textId), count);
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

// Cuts everything written for an entry from `headerOffset` on.
bool cutOutputAt(SalvageRun& run, int64_t headerOffset) {
    return seekFile(run.outputHandle, headerOffset) && truncateFileHere(run.outputHandle);
}

// Central directory, end record, truncation. False when a write came up short.
bool writeDirectory(SalvageRun& run) {
    int64_t start = filePosition(run.outputHandle);
    if (start < 0) return false;
    uint32_t count = 0;
    uint8_t image[kCentralHeaderSize];
    for (SalvagedEntry* entry = run.entryList; entry != nullptr; entry = entry->next) {
        buildCentralHeader(*entry, image);
        if (!writeOutput(run, image, kCentralHeaderSize)) return false;
        if (!writeOutput(run, entry->name, headerField16(entry->header, kLocalNameLength))) {
            return false;
        }
        const EntryMetadata& metadata = entry->metadata;
        if (!writeOutput(run, metadata.centralExtra.data(),
                         static_cast<uint32_t>(metadata.centralExtra.size())) ||
            !writeOutput(run, metadata.comment.data(),
                         static_cast<uint32_t>(metadata.comment.size()))) {
            return false;
        }
        ++count;
    }
    int64_t end = filePosition(run.outputHandle);
    uint8_t record[kEndRecordSize];
    buildEndRecord(count, static_cast<uint32_t>(end - start), static_cast<uint32_t>(start), record);
    // The archive comment of the damaged archive's end record, when one could be read whole.
    const std::string& comment = run.directory.archiveComment;
    storeLE16(record + kEndCommentLength, static_cast<uint16_t>(comment.size()));
    if (!writeOutput(run, record, kEndRecordSize) ||
        !writeOutput(run, comment.data(), static_cast<uint32_t>(comment.size()))) {
        return false;
    }
    return truncateFileHere(run.outputHandle);
}

void logSummary(SalvageRun& run) {
    logText(run, " ");
    logText(run, loadText(kTextAttemptComplete));
    logCount(run, kTextFilesFound, run.filesFound);
    if (run.unrecoverableCount > 0) logCount(run, kTextUnrecoverable, run.unrecoverableCount);
    if (run.partialCount > 0) logCount(run, kTextPartial, run.partialCount);
    if (run.undecryptableCount > 0) logCount(run, kTextUndecryptable, run.undecryptableCount);
    if (run.systemErrorCount > 0) logCount(run, kTextSystemErrors, run.systemErrorCount);
}

}  // namespace

void logText(SalvageRun& run, const char* text) {
    if (run.ui.logLine != nullptr) run.ui.logLine(run.ui.context, text);
}

std::string shownName(SalvageRun& run, const char* rawName) {
    std::string shown;
    if (run.ui.displayName != nullptr) {
        run.ui.displayName(run.ui.context, rawName, run.nameIsUtf8, shown);
    } else {
        shown = rawName;
    }
    return shown;
}

int salvageHeaderAt(SalvageRun& run) {
    int64_t archiveOffset = logicalPosition(run.reader) - 4;  // the signature's
    LocalHeader header;
    std::memcpy(header.bytes, kLocalSignature, 4);
    if (!readExact(run.reader, header.bytes + 4, kLocalHeaderSize - 4)) return kHeaderNotSalvaged;
    uint16_t nameLength = headerField16(header, kLocalNameLength);
    if (nameLength == 0 || nameLength > kMaxNameLength) return kHeaderRejected;

    auto* entry = new (std::nothrow) SalvagedEntry{};
    char* name = new (std::nothrow) char[nameLength + 1];
    if (entry == nullptr || name == nullptr) {
        // No memory for the node: the entry cannot be listed, so it is not salvaged.
        delete entry;
        delete[] name;
        return kHeaderNotSalvaged;
    }
    if (!readExact(run.reader, reinterpret_cast<uint8_t*>(name), nameLength)) {
        logText(run, loadText(kTextPrematureEnd));
        delete entry;
        delete[] name;
        return kHeaderNotSalvaged;
    }
    name[nameLength] = '\0';
    entry->name = name;
    entry->header = header;
    entry->metadata.archiveOffset = archiveOffset;
    // A shortfall in the extra field is not an error: the extraction then finds no input, and
    // the fields read whole are still looked at.
    std::vector<uint8_t> extra(headerField16(header, kLocalExtraLength));
    extra.resize(static_cast<size_t>(
        readUpTo(run.reader, extra.data(), static_cast<int64_t>(extra.size()))));
    if (!describeLocalEntry(*entry, extra.data(), extra.size())) {
        delete[] entry->name;
        delete entry;
        return kHeaderNotSalvaged;
    }
    name = entry->name;
    nameLength = headerField16(entry->header, kLocalNameLength);
    run.nameIsUtf8 = (headerField16(entry->header, kLocalFlags) & kFlagUtf8Name) != 0;
    const std::vector<uint8_t>& keptExtra = entry->metadata.localExtra;

    int64_t headerOffset = filePosition(run.outputHandle);
    entry->headerOffset = static_cast<uint32_t>(headerOffset);
    if (headerOffset < 0 || !writeOutput(run, entry->header.bytes, kLocalHeaderSize) ||
        !writeOutput(run, name, nameLength) ||
        !writeOutput(run, keptExtra.data(), static_cast<uint32_t>(keptExtra.size()))) {
        delete entry;
        delete[] name;
        return kHeaderOutputFailed;
    }

    // Where the recorded data ends; a negative recorded size (as the extraction reads it) has none.
    int64_t recordedData = static_cast<int32_t>(headerField32(header, kLocalCompressedSize));
    int64_t recordedEnd = logicalPosition(run.reader) + (recordedData > 0 ? recordedData : 0);
    LocalHeader recorded = entry->header;
    CounterSnapshot before = countersOf(run);
    bool salvaged = keepsMethodAsIs(headerField16(header, kLocalMethod))
                        ? copyEntryAsIs(run, *entry)
                        : salvageEntryData(run, entry->header, name);
    if (run.outputFailed) {
        // The output is discarded whole: nothing is cut, and the entry is not judged.
        delete entry;
        delete[] name;
        return kHeaderOutputFailed;
    }
    if (!isCancelled(run.flags)) reportEntry(run, recorded, entry->header, name, salvaged, before);
    keepBytesAfterData(run.reader, recordedEnd, salvaged ? kRewindAfterEntry : 0);

    if (!salvaged) {
        bool cut = cutOutputAt(run, headerOffset);
        delete entry;
        delete[] name;
        return cut ? kHeaderNotSalvaged : kHeaderOutputFailed;
    }

    finishOutputHeader(*entry);
    int64_t dataEnd = filePosition(run.outputHandle);
    bool rewritten = dataEnd >= 0 && seekFile(run.outputHandle, headerOffset) &&
                     writeOutput(run, entry->header.bytes, kLocalHeaderSize) &&
                     seekFile(run.outputHandle, dataEnd);
    if (!rewritten) {
        delete entry;
        delete[] name;
        return kHeaderOutputFailed;
    }
    appendEntry(run, entry);
    return kHeaderEntryWritten;
}

// The scan and the directory; runSalvage adds the clean-up every way out needs.
static RunResult scanArchive(SalvageRun& run) {
    logText(run, loadText(kTextBeginning));
    bool noSignatureYet = true;
    int state = 0;
    uint32_t sinceCancelCheck = 0;
    uint8_t byte = 0;
    while (true) {
        // Outside a signature, every byte but "P" leaves the state at 0: pass over them in bulk.
        if (state == 0)
            sinceCancelCheck += static_cast<uint32_t>(skipBufferedUntil(run.reader, 0x50));
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
            if (state == kStateCentral && byte == 0x02) readCentralHeaderHere(run);
            if (state == kStateEnd && byte == 0x06) readEndRecordHere(run);
            state = 0;
            continue;
        }
        if (state != 3 || byte != 0x04) {
            state = 0;
            continue;
        }
        state = 0;
        noSignatureYet = false;
        markResume(run.reader);
        int result = salvageHeaderAt(run);
        if (isCancelled(run.flags)) return RunResult::kCancelled;
        if (result == kHeaderOutputFailed) {
            showOutputError(run);
            return RunResult::kOutputFailed;
        }
        if (result == kHeaderEntryWritten) stepBack(run.reader, kRewindAfterEntry);
        if (result == kHeaderRejected) rewindToMark(run.reader);
    }
    if (isCancelled(run.flags)) return RunResult::kCancelled;
    if (noSignatureYet) logText(run, loadText(kTextNoFilesFound));
    applyDirectoryWitness(run.entryList, run.directory);
    if (!writeDirectory(run)) {
        showOutputError(run);
        return RunResult::kOutputFailed;
    }
    logSummary(run);
    return RunResult::kCompleted;
}

RunResult runSalvage(SalvageRun& run) {
    RunResult result = scanArchive(run);
    discardTempFile();
    if (result == RunResult::kCompleted && !commitOutput(run)) {
        showOutputError(run);
        result = RunResult::kOutputFailed;
    }
    if (result != RunResult::kCompleted) discardOutput(run);
    return result;
}

}  // namespace zipsalvage
