// Copying an entry whose method zipsalvage cannot decode, byte for byte.
#include "engine/entry/entry_copy.h"

#include <string>
#include <vector>

#include "engine/scan/entry_names.h"
#include "engine/state/run_state.h"
#include "engine/witness/directory_ahead.h"
#include "extract/data_descriptor.h"
#include "extract/extract_context.h"
#include "resources/strings.h"

namespace zipsalvage {
namespace {

constexpr int64_t kCopyPieceBytes = 65536;
constexpr int kRescanFromDataStart = 8;  // the scan steps back this far after an entry

void logCopyOutcome(EntryContext& run, int textId, const SalvagedEntry& entry, uint16_t method) {
    std::string shown = shownName(run, entry);
    std::string line(shown.size() + 512, '\0');
    formatText(line.data(), static_cast<int>(line.size()), loadText(textId), shown.c_str(),
               static_cast<int>(method));
    logText(run, line.c_str());
}

// What may follow an entry's data: another record's signature, a data descriptor (signed, or
// starting with the entry's CRC-32), or the end of the archive.
bool looksLikeDataEnd(const uint8_t* next, int64_t available, uint32_t crc32) {
    if (available < 4) return true;
    if (loadLE32(next) == crc32) return true;
    if (next[0] != 0x50 || next[1] != 0x4B) return false;
    uint8_t kind = next[2];
    uint8_t part = next[3];
    return (kind == 3 && part == 4) || (kind == 1 && part == 2) || (kind == 5 && part == 6) ||
           (kind == 6 && (part == 6 || part == 7)) || (kind == 7 && part == 8);
}

// A streamed entry's sizes and CRC-32 from the archive's directory, which records them where
// flag bit 3 left the local header's fields empty (APPNOTE 4.4.4). False without a record, or
// with sizes the header as already written cannot carry (Zip64 was settled from the local one).
bool takeDirectorySizes(EntryContext& run, SalvagedEntry& entry, uint64_t& size) {
    const std::string& name = entry.metadata.recordedName;
    const CentralRecord* record = directoryRecordFor(
        run.directoryAhead, entry.metadata.archiveOffset, name.data(), name.size());
    if (record == nullptr) return false;
    if (!entry.zip64Local &&
        (needsZip64(record->compressedSize) || needsZip64(record->uncompressedSize))) {
        return false;
    }
    size = record->compressedSize;
    entry.sizes = EntrySizes{record->compressedSize, record->uncompressedSize};
    setHeaderField32(entry.header, kLocalCrc32, record->crc32);
    return true;
}

bool readFromArchive(void* owner, uint8_t* destination, int32_t count) {
    return readExact(*static_cast<ArchiveReader*>(owner), destination, count);
}

int32_t readUpToFromArchive(void* owner, uint8_t* destination, int32_t count) {
    return static_cast<int32_t>(readUpTo(*static_cast<ArchiveReader*>(owner), destination, count));
}

// A streamed entry's sizes and CRC-32 from the data descriptor behind its data, found as for a
// stored entry of unknown size (by the count of bytes in front of it). The whole data counts,
// an encryption header of either kind included, since nothing of it is decrypted. The reader
// is left at the data's start.
bool takeDescriptorSizes(EntryContext& run, SalvagedEntry& entry, uint64_t& size) {
    ArchiveReader& reader = run.reader;
    const int64_t dataStart = logicalPosition(reader);
    ExtractContext context;
    initExtractContext(context, EntryOutput{nullptr, nullptr, nullptr}, 0, 0, false, "", nullptr,
                       EntryByteSource{&reader, readFromArchive, readUpToFromArchive}, run.flags);
    context.outputEnabled = false;  // only the end is searched for; nothing is written
    DataDescriptor descriptor;
    bool found = ranToEnd(searchDescriptor(context, false, descriptor));
    moveTo(reader, dataStart);
    if (!found) return false;
    if (!entry.zip64Local &&
        (needsZip64(descriptor.compressedSize) || needsZip64(descriptor.uncompressedSize))) {
        return false;
    }
    size = descriptor.compressedSize;
    entry.sizes = EntrySizes{descriptor.compressedSize, descriptor.uncompressedSize};
    setHeaderField32(entry.header, kLocalCrc32, descriptor.crc);
    return true;
}

// Moves the reader to `offset`, where the scan goes on.
void moveReaderTo(ArchiveReader& reader, int64_t offset) {
    reader.resumePoint = offset;
    rewindToMark(reader);
}

}  // namespace

bool keepsMethodAsIs(const SalvagedEntry& entry) {
    const uint16_t method = headerField16(entry.header, kLocalMethod);
    if (!decodesMethod(method)) return true;
    if (method != kMethodAes) return false;
    const AesField& aes = entry.metadata.aes;
    const bool encrypted = (headerField16(entry.header, kLocalFlags) & kFlagEncrypted) != 0;
    return !encrypted || !aes.present || aes.method == kMethodAes || !decodesMethod(aes.method);
}

bool knownCompressedSize(EntryContext&, const LocalHeader& header, uint64_t& size) {
    uint32_t recorded = headerField32(header, kLocalCompressedSize);
    uint16_t flags = headerField16(header, kLocalFlags);
    // With bit 3 the local sizes are zero and the real ones follow the data (APPNOTE 4.4.4);
    // a streamed entry's size is known only where its descriptor is found.
    if ((flags & kFlagDataDescriptor) != 0 && recorded == 0) return false;
    if (recorded == kZip64Marker32) return false;
    size = recorded;
    return true;
}

// The copy of the entry's data as it lies: its size (recorded, the directory's or the
// descriptor's), its bytes, and where the scan goes on. A copy cut short or of no known size
// is logged and sets `verdict` to `lostAs`; a cancel or a failed write sets nothing.
static bool copyRecordedData(EntryContext& run, SalvagedEntry& entry, EntryVerdict& verdict,
                             EntryVerdict lostAs) {
    LocalHeader& header = entry.header;
    uint16_t method = headerField16(header, kLocalMethod);
    uint64_t size = 0;
    // A Zip64 size was read from the extra field into entry.sizes.
    bool zip64Size = headerField32(header, kLocalCompressedSize) == kZip64Marker32 &&
                     entry.sizes.compressed != kZip64Marker32;
    if (zip64Size) size = entry.sizes.compressed;
    if (!zip64Size && !knownCompressedSize(run, header, size) &&
        !takeDirectorySizes(run, entry, size) && !takeDescriptorSizes(run, entry, size)) {
        if (isCancelled(run.flags)) return false;
        logCopyOutcome(run, kTextKeptSizeUnknown, entry, method);
        verdict = lostAs;
        return false;
    }

    ArchiveReader& reader = run.reader;
    int64_t dataStart = logicalPosition(reader);
    std::vector<uint8_t> piece(
        static_cast<size_t>(size < kCopyPieceBytes ? size : kCopyPieceBytes));
    uint64_t copied = 0;
    while (copied < size) {
        if (isCancelled(run.flags)) return false;
        uint64_t left = size - copied;
        int64_t want =
            left < piece.size() ? static_cast<int64_t>(left) : static_cast<int64_t>(piece.size());
        int64_t got = readUpTo(reader, piece.data(), want);
        if (got > 0 && !run.output->write(piece.data(), static_cast<uint32_t>(got))) {
            // A full or failing output disk ends the run; the entry is not blamed for it.
            markWriteFailed(run.flags);
            run.outputFailed = true;
            return false;
        }
        copied += static_cast<uint64_t>(got);
        if (got < want) break;
    }
    if (copied < size) {
        // Half a bzip2 or AES stream is of no use to its reader. The data may instead be
        // whole and its size damaged, so the scan looks again from the data's start.
        logCopyOutcome(run, kTextKeptCutShort, entry, method);
        verdict = lostAs;
        moveReaderTo(reader, dataStart);
        return false;
    }

    uint8_t next[4];
    int64_t available = readUpTo(reader, next, sizeof next);
    if (available > 0) stepBack(reader, static_cast<int32_t>(available));
    // A recorded size too large would swallow the entries behind it: when the data does not
    // end at a record, the scan also looks through it, so they are still found.
    if (!looksLikeDataEnd(next, available, headerField32(header, kLocalCrc32)))
        moveReaderTo(reader, dataStart + kRescanFromDataStart);  // less the scan's step back
    return true;
}

// A signed data descriptor (APPNOTE 4.3.9) behind a copy that keeps flag bit 3: the entry's
// CRC-32 and sizes, 8 bytes each where its local header carries the Zip64 extra.
static bool writeDataDescriptor(EntryContext& run, const SalvagedEntry& entry) {
    uint8_t bytes[kLongestDescriptor];
    storeLE32(bytes, kDescriptorSignature);
    uint8_t* field = bytes + kSignatureSize;
    storeLE32(field + kDescriptorCrc32, headerField32(entry.header, kLocalCrc32));
    uint32_t length = kSignatureSize + kDescriptorSize32;
    if (entry.zip64Local) {
        storeLE64(field + kDescriptorCompressedSize, entry.sizes.compressed);
        storeLE64(field + kDescriptorUncompressedSize64, entry.sizes.uncompressed);
        length = kLongestDescriptor;
    } else {
        storeLE32(field + kDescriptorCompressedSize, static_cast<uint32_t>(entry.sizes.compressed));
        storeLE32(field + kDescriptorUncompressedSize32,
                  static_cast<uint32_t>(entry.sizes.uncompressed));
    }
    if (run.output->write(bytes, length)) return true;
    markWriteFailed(run.flags);
    run.outputFailed = true;
    return false;
}

bool copyEntryAsIs(EntryContext& run, SalvagedEntry& entry, EntryVerdict& verdict) {
    entry.metadata.keptAsIs = true;
    if (!copyRecordedData(run, entry, verdict, EntryVerdict::kUnrecoverable)) return false;
    // Nothing decoded the bytes, so no CRC-32 was compared: never called whole. A method whose
    // decoder this build lacks could have been checked elsewhere: the log says so.
    uint16_t method = headerField16(entry.header, kLocalMethod);
    logCopyOutcome(run, knownButNotBuiltIn(method) ? kTextKeptUnchecked : kTextKeptNotChecked,
                   entry, method);
    verdict = EntryVerdict::kNotChecked;
    return true;
}

bool copyUndecryptable(EntryContext& run, SalvagedEntry& entry, EntryVerdict& verdict) {
    entry.metadata.keptAsIs = true;
    entry.metadata.keptEncrypted = true;
    if (!copyRecordedData(run, entry, verdict, EntryVerdict::kUndecryptable)) return false;
    if ((headerField16(entry.header, kLocalFlags) & kFlagDataDescriptor) != 0 &&
        !writeDataDescriptor(run, entry)) {
        return false;
    }
    logCopyOutcome(run, kTextKeptEncrypted, entry, headerField16(entry.header, kLocalMethod));
    verdict = EntryVerdict::kUndecryptable;
    return true;
}

}  // namespace zipsalvage
