// runSalvage: the byte-by-byte scan for local headers, then the new central directory.
#include "engine/salvage_run.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "resources/strings.h"

namespace zipsalvage {
namespace {

constexpr int kRewindAfterEntry = 8;  // the scan looks again at the last 8 bytes an entry read
constexpr uint32_t kCancelCheckBytes = 1u << 16;

// Writes `count` bytes to the output; false when the write came up short.
bool writeOutput(SalvageRun& run, const void* bytes, uint32_t count) {
    return count == 0 || writeFile(run.outputHandle, bytes, count) == count;
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

void freeEntry(SalvagedEntry* entry) {
    delete[] entry->name;
    delete entry;
}

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
        buildCentralHeader(*entry, static_cast<uint16_t>(extraLength), image);
        if (!writeOutput(run, image, kCentralHeaderSize)) return false;
        if (!writeOutput(run, entry->name, headerField16(entry->header, kLocalNameLength)) ||
            !writeOutput(run, zip64Extra, static_cast<uint32_t>(extraLength))) {
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
    if (!writeOutput(run, record, kEndRecordSize)) return false;
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
        run.ui.displayName(run.ui.context, rawName, shown);
    } else {
        shown = rawName;
    }
    return shown;
}

bool writeEntryHead(SalvageRun& run, SalvagedEntry& entry) {
    settleLocalSizes(entry);
    uint8_t zip64Extra[kZip64LocalExtraSize];
    int extraLength = buildLocalZip64Extra(entry, zip64Extra);
    setHeaderField16(entry.header, kLocalExtraLength, static_cast<uint16_t>(extraLength));
    uint16_t nameLength = headerField16(entry.header, kLocalNameLength);
    return writeOutput(run, entry.header.bytes, kLocalHeaderSize) &&
           writeOutput(run, entry.name, nameLength) &&
           writeOutput(run, zip64Extra, static_cast<uint32_t>(extraLength));
}

int salvageHeaderAt(SalvageRun& run) {
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

    // The extra field is read for the Zip64 sizes; a shortfall is not an error (the extraction
    // then simply finds no input).
    uint16_t extraLength = headerField16(header, kLocalExtraLength);
    NameBuffer extra(extraLength);
    int64_t extraRead = extra.bytes == nullptr
                            ? static_cast<int64_t>(skipBytes(run.reader, extraLength))
                            : readUpTo(run.reader, extra.raw(), extraLength);
    EntrySizes recorded = recordedSizes(
        header, extra.raw(), extra.bytes == nullptr ? 0 : static_cast<size_t>(extraRead));
    setHeaderField16(header, kLocalExtraLength, 0);

    auto* entry = new (std::nothrow) SalvagedEntry{};
    int64_t headerOffset = filePosition(run.outputHandle);
    if (entry == nullptr) return kHeaderNotSalvaged;
    if (headerOffset < 0) {
        delete entry;
        return kHeaderOutputFailed;
    }
    entry->header = header;
    entry->name = name.release();
    entry->headerOffset = static_cast<uint64_t>(headerOffset);

    // Where the recorded data ends (saturating: a damaged Zip64 size may be anything).
    uint64_t dataStart = static_cast<uint64_t>(logicalPosition(run.reader));
    uint64_t recordedEnd = dataStart + recorded.compressed;
    if (recordedEnd < dataStart || recordedEnd > static_cast<uint64_t>(INT64_MAX)) {
        recordedEnd = static_cast<uint64_t>(INT64_MAX);
    }
    bool salvaged = salvageEntryData(run, *entry, recorded);
    keepBytesAfterData(run.reader, static_cast<int64_t>(recordedEnd),
                       salvaged ? kRewindAfterEntry : 0);

    if (!salvaged) {
        bool cut = cutOutputAt(run, headerOffset);
        freeEntry(entry);
        return cut ? kHeaderNotSalvaged : kHeaderOutputFailed;
    }

    // The header again, now with the final method, CRC-32 and sizes; its length was fixed when
    // it was first written, since whether it carries the Zip64 extra was settled then.
    setHeaderField16(entry->header, kLocalFlags, 0);
    int64_t dataEnd = filePosition(run.outputHandle);
    bool rewritten = dataEnd >= 0 && seekFile(run.outputHandle, headerOffset) &&
                     writeEntryHead(run, *entry) && seekFile(run.outputHandle, dataEnd);
    if (!rewritten) {
        freeEntry(entry);
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
            state = byte == 0x03 ? 3 : 0;
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
    return result;
}

}  // namespace zipsalvage
