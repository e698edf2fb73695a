// runSalvage: the byte-by-byte scan for local headers, then the new central directory.
#include "engine/salvage_run.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/directory_ahead.h"
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
    uint64_t unrecoverable;
    uint64_t partial;
    uint64_t undecryptable;
    uint64_t systemErrors;
};

CounterSnapshot countersOf(const SalvageRun& run) {
    return {run.unrecoverableCount, run.partialCount, run.undecryptableCount, run.systemErrorCount};
}

// The entry's verdict is read from the counter the entry salvage raised for it, so the report
// says what the log and the summary say.
void reportEntry(SalvageRun& run, const LocalHeader& recorded, const EntrySizes& recordedSizes,
                 const EntryOutcome& outcome, const SalvagedEntry& written, bool salvaged,
                 const CounterSnapshot& before) {
    if (run.ui.entryDone == nullptr) return;
    EntryReport report{};
    report.rawName = written.name;
    report.method = headerField16(recorded, kLocalMethod);
    report.recordedSize = recordedSizes.uncompressed;
    report.recordedCrc32 = headerField32(recorded, kLocalCrc32);
    if (outcome.streamed) {
        // What the data descriptor records (0 when none was found).
        report.recordedSize = outcome.recordedSize;
        report.recordedCrc32 = outcome.recordedCrc;
    }
    report.written = salvaged;
    report.recoveredBytes = salvaged ? written.sizes.uncompressed : 0;
    if (run.undecryptableCount > before.undecryptable) {
        report.verdict = EntryVerdict::kUndecryptable;
    } else if (run.systemErrorCount > before.systemErrors) {
        report.verdict = EntryVerdict::kSystemError;
    } else if (run.unrecoverableCount > before.unrecoverable) {
        // Also a copy left out because its data is cut short or unsized: the summary counts
        // it unrecoverable, and so does the report.
        report.verdict = EntryVerdict::kUnrecoverable;
    } else if (run.partialCount > before.partial) {
        report.verdict = EntryVerdict::kPartial;
    } else if (!salvaged) {
        report.verdict = EntryVerdict::kNotWritten;
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

// An owned byte buffer of a header's name or extra field, with room for a terminating zero.
struct NameBuffer {
    char* bytes;
    explicit NameBuffer(size_t length) : bytes(new (std::nothrow) char[length + 1]) {
        if (bytes != nullptr) bytes[length] = '\0';
    }
    ~NameBuffer() { delete[] bytes; }
    NameBuffer(const NameBuffer&) = delete;
    NameBuffer& operator=(const NameBuffer&) = delete;
    uint8_t* raw() const { return reinterpret_cast<uint8_t*>(bytes); }
    char* release() {
        char* owned = bytes;
        bytes = nullptr;
        return owned;
    }
};

// Owns an entry until it joins the run's list, so that every way out of salvageHeaderAt that
// leaves it out releases it.
struct EntryRelease {
    void operator()(SalvagedEntry* entry) const { freeEntry(entry); }
};
using OwnedEntry = std::unique_ptr<SalvagedEntry, EntryRelease>;

// A candidate header passed over although its name reads like one: the log says so, with the
// name's zero bytes shown as "?", since the entry may be real and is not in the output.
void logImplausibleHeader(SalvageRun& run, const NameBuffer& name, size_t nameLength) {
    std::string raw(name.bytes, nameLength);
    for (char& letter : raw) {
        if (letter == '\0') letter = '?';
    }
    std::string shown = shownName(run, raw.c_str());
    std::string line(shown.size() + 256, '\0');
    // The signature stood just before the resume mark.
    int64_t headerAt = run.reader.resumePoint - 4;
    formatText(line.data(), static_cast<int>(line.size()), loadText(kTextImplausibleHeader),
               shown.c_str(), static_cast<unsigned long long>(headerAt < 0 ? 0 : headerAt));
    logText(run, line.c_str());
}

// Cuts everything written for an entry from `headerOffset` on.
bool cutOutputAt(SalvageRun& run, int64_t headerOffset) {
    return seekFile(run.outputHandle, headerOffset) && truncateFileHere(run.outputHandle);
}

// Central directory, end record (with the Zip64 end record and locator before it when the
// directory needs them), truncation. False when a write came up short.
bool writeDirectory(SalvageRun& run) {
    int64_t start = filePosition(run.outputHandle);
    if (start < 0) return false;
    DirectoryExtent directory;
    directory.offset = static_cast<uint64_t>(start);
    uint8_t image[kCentralHeaderSize];
    uint8_t zip64Extra[kZip64CentralExtraMaxSize];
    for (SalvagedEntry* entry = run.entryList; entry != nullptr; entry = entry->next) {
        int extraLength = buildCentralZip64Extra(*entry, zip64Extra);
        size_t allExtras = static_cast<size_t>(extraLength) + entry->metadata.centralExtra.size();
        buildCentralHeader(*entry, static_cast<uint16_t>(allExtras), image);
        if (!writeOutput(run, image, kCentralHeaderSize)) return false;
        if (!writeOutput(run, entry->name, headerField16(entry->header, kLocalNameLength)) ||
            !writeOutput(run, zip64Extra, static_cast<uint32_t>(extraLength))) {
            return false;
        }
        const EntryMetadata& metadata = entry->metadata;
        if (!writeOutput(run, metadata.centralExtra.data(),
                         static_cast<uint32_t>(metadata.centralExtra.size())) ||
            !writeOutput(run, metadata.comment.data(),
                         static_cast<uint32_t>(metadata.comment.size()))) {
            return false;
        }
        ++directory.entryCount;
    }
    int64_t end = filePosition(run.outputHandle);
    if (end < start) return false;
    directory.size = static_cast<uint64_t>(end - start);
    if (needsZip64End(directory)) {
        uint8_t zip64End[kZip64EndRecordSize];
        uint8_t locator[kZip64LocatorSize];
        buildZip64EndRecord(directory, zip64End);
        buildZip64Locator(static_cast<uint64_t>(end), locator);
        if (!writeOutput(run, zip64End, kZip64EndRecordSize) ||
            !writeOutput(run, locator, kZip64LocatorSize)) {
            return false;
        }
    }
    uint8_t record[kEndRecordSize];
    buildEndRecord(directory, record);
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

bool writeEntryHead(SalvageRun& run, SalvagedEntry& entry) {
    settleLocalSizes(entry);
    // The Zip64 field first, then the fields kept from the damaged header.
    uint8_t zip64Extra[kZip64LocalExtraSize];
    int zip64Length = buildLocalZip64Extra(entry, zip64Extra);
    const std::vector<uint8_t>& kept = entry.metadata.localExtra;
    size_t extraLength = static_cast<size_t>(zip64Length) + kept.size();
    setHeaderField16(entry.header, kLocalExtraLength, static_cast<uint16_t>(extraLength));
    uint16_t nameLength = headerField16(entry.header, kLocalNameLength);
    return writeOutput(run, entry.header.bytes, kLocalHeaderSize) &&
           writeOutput(run, entry.name, nameLength) &&
           writeOutput(run, zip64Extra, static_cast<uint32_t>(zip64Length)) &&
           writeOutput(run, kept.data(), static_cast<uint32_t>(kept.size()));
}

int salvageHeaderAt(SalvageRun& run) {
    int64_t archiveOffset = logicalPosition(run.reader) - 4;  // the signature's
    LocalHeader header;
    std::memcpy(header.bytes, kLocalSignature, 4);
    if (!readExact(run.reader, header.bytes + 4, kLocalHeaderSize - 4)) return kHeaderNotSalvaged;
    uint16_t nameLength = headerField16(header, kLocalNameLength);
    if (nameLength == 0) return kHeaderRejected;

    NameBuffer name(nameLength);
    if (name.bytes == nullptr) return kHeaderNotSalvaged;  // no memory: the entry cannot be listed
    if (!readExact(run.reader, name.raw(), nameLength)) {
        // A long name running into the archive's end is most likely a false signature's: the
        // bytes it took are scanned again.
        if (nameLength > kShortNameLength) return kHeaderRejected;
        logText(run, loadText(kTextPrematureEnd));
        return kHeaderNotSalvaged;
    }
    if (!headerIsPlausible(header, name.raw(), nameLength)) {
        if (nameLooksReal(name.raw(), nameLength)) logImplausibleHeader(run, name, nameLength);
        return kHeaderRejected;
    }

    OwnedEntry owned(new (std::nothrow) SalvagedEntry{});
    SalvagedEntry* entry = owned.get();
    if (entry == nullptr) return kHeaderNotSalvaged;
    entry->name = name.release();
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
    run.nameIsUtf8 = (headerField16(entry->header, kLocalFlags) & kFlagUtf8Name) != 0;

    int64_t headerOffset = filePosition(run.outputHandle);
    if (headerOffset < 0) {
        return kHeaderOutputFailed;
    }
    entry->headerOffset = static_cast<uint64_t>(headerOffset);

    // Where the recorded data ends (saturating: a damaged Zip64 size may be anything).
    uint64_t dataStart = static_cast<uint64_t>(logicalPosition(run.reader));
    uint64_t recordedEnd = dataStart + recorded.compressed;
    if (recordedEnd < dataStart || recordedEnd > static_cast<uint64_t>(INT64_MAX)) {
        recordedEnd = static_cast<uint64_t>(INT64_MAX);
    }
    CounterSnapshot before = countersOf(run);
    EntryOutcome outcome;
    bool salvaged = false;
    if (keepsMethodAsIs(headerField16(header, kLocalMethod))) {
        // A copy keeps the recorded sizes, so its header can go first.
        entry->sizes = recorded;
        entry->zip64Local = needsZip64(recorded.compressed) || needsZip64(recorded.uncompressed);
        if (!writeEntryHead(run, *entry)) {
            return kHeaderOutputFailed;
        }
        salvaged = copyEntryAsIs(run, *entry);
        outcome.intact = true;  // copied, not judged: its bytes are taken as its own
    } else {
        salvaged = salvageEntryData(run, *entry, recorded, outcome);
    }
    if (run.outputFailed) {
        // The output is discarded whole: nothing is cut, and the entry is not judged.
        return kHeaderOutputFailed;
    }
    if (!isCancelled(run.flags)) {
        reportEntry(run, header, recorded, outcome, *entry, salvaged, before);
    }
    if (!outcome.positioned) {
        keepBytesAfterData(run.reader, static_cast<int64_t>(recordedEnd),
                           salvaged ? kRewindAfterEntry : 0);
    }

    if (!salvaged) {
        bool cut = cutOutputAt(run, headerOffset);
        return cut ? kHeaderNotSalvaged : kHeaderOutputFailed;
    }

    // The header again, now with the final method, CRC-32 and sizes; its length was fixed when
    // it was first written, since whether it carries the Zip64 extra was settled then.
    finishOutputHeader(*entry);
    int64_t dataEnd = filePosition(run.outputHandle);
    bool rewritten = dataEnd >= 0 && seekFile(run.outputHandle, headerOffset) &&
                     writeEntryHead(run, *entry) && seekFile(run.outputHandle, dataEnd);
    if (!rewritten) {
        return kHeaderOutputFailed;
    }
    appendEntry(run, owned.release());
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

// The scan and the directory; runSalvage adds the clean-up every way out needs.
static RunResult scanArchive(SalvageRun& run) {
    logText(run, loadText(kTextBeginning));
    readDirectoryAhead(run);
    uint64_t lookedAgain = 0;  // bytes scanned again behind damaged entries
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
        // A damaged entry may have taken bytes that are not its own (a wrong size, a stream
        // that lost its end): the next header may lie among them, so the scan looks again at
        // everything behind this entry's signature. An intact entry's bytes are its own, so a
        // stored archive inside one stays a single entry.
        if (result == kHeaderRejected) rewindToMark(run.reader);
        if (result == kHeaderEntryDamaged && mayLookAgain(run.reader, lookedAgain)) {
            rewindToMark(run.reader);
        }
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
