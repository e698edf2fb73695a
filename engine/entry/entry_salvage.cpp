// One entry's two halves: judgeEntry (password, extraction into memory or the temporary file
// for a big entry, judging) and its writing, on the scanning thread (writeJudgedEntry) or from
// an encoder thread's work (encodeQueuedEntry, then writeQueuedEntry).
#include "engine/entry/entry_salvage.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/entry/decoded_bytes.h"
#include "engine/entry/intact_copy.h"
#include "engine/entry/judged_entry.h"
#include "engine/scan/entry_names.h"
#include "engine/state/run_state.h"
#include "engine/witness/directory_ahead.h"
#include "extract/data_descriptor.h"
#include "extract/extract_context.h"
#include "extract/winzip_aes.h"
#include "recompress/deflate.h"
#include "resources/strings.h"

namespace zipsalvage {
namespace {

bool readFromArchive(void* owner, uint8_t* destination, int32_t count) {
    return readExact(*static_cast<ArchiveReader*>(owner), destination, count);
}

int32_t readUpToFromArchive(void* owner, uint8_t* destination, int32_t count) {
    return static_cast<int32_t>(readUpTo(*static_cast<ArchiveReader*>(owner), destination, count));
}

// Logs a string-table text whose first placeholder is the entry's name; sizes follow it.
void logAboutName(SalvageRun& run, int textId, const std::string& name, uint64_t first = 0,
                  uint64_t second = 0) {
    std::string line(name.size() + 256, '\0');
    formatText(line.data(), static_cast<int>(line.size()), loadText(textId), name.c_str(),
               static_cast<unsigned long long>(first), static_cast<unsigned long long>(second));
    logText(run, line.c_str());
}

struct RecordedCrc {
    uint32_t value;
    bool known;  // false: the header does not record it
};

// Endings the data decides; a system failure or a cancel says nothing about a password.
bool judgedByData(const DecodeResult& result) {
    return result.end == DecodeEnd::kDone || result.end == DecodeEnd::kCorruptData ||
           result.end == DecodeEnd::kInputEnded;
}

// True when the decoded bytes are shown to be the entry's: the method ran to its end and,
// where a CRC-32 is recorded, they match it.
bool outputMatches(const DecodeResult& result, DecodedBytes& decoded, const RecordedCrc& recorded) {
    if (!ranToEnd(result)) return false;
    if (!recorded.known) return true;
    uint32_t crc = 0;
    return crcOfDecoded(decoded, crc) && crc == recorded.value;
}

// A write to the temporary file failed: the folder and the system's reason are named, since
// the remedy (room in $TMPDIR) is the user's and the archive is not at fault.
void logTempWriteFailed(SalvageRun& run, const std::string& name, const std::string& reason) {
    std::string folder = tempFolderParent();
    std::string line(name.size() + folder.size() + reason.size() + 256, '\0');
    formatText(line.data(), static_cast<int>(line.size()), loadText(kTextTempFolderWriteFailed),
               name.c_str(), folder.c_str(), reason.c_str());
    logText(run, line.c_str());
}

void logCrcMismatch(SalvageRun& run, const std::string& name, uint32_t found, uint32_t expected) {
    std::string line(name.size() + 256, '\0');
    formatText(line.data(), static_cast<int>(line.size()), loadText(kTextCrcMismatch), name.c_str(),
               found, expected);
    logText(run, line.c_str());
}

// The local header records no sizes: a streaming writer sets flag bit 3 and leaves them 0
// (APPNOTE 4.4.4), or 0xFFFFFFFF when the entry may need Zip64 (zeros in its Zip64 field).
bool sizesMissing(const EntrySizes& recorded) {
    return recorded.compressed == 0 || recorded.compressed == kZip64Marker32;
}

// True when the reader stands right before a local or central header signature: what the
// headers say is data (here an encryption header) is missing. The reader does not move.
bool recordFollowsHere(ArchiveReader& reader) {
    const int64_t here = logicalPosition(reader);
    uint8_t bytes[4] = {};
    bool record =
        readUpTo(reader, bytes, 4) == 4 && bytes[0] == 0x50 && bytes[1] == 0x4B &&
        ((bytes[2] == 0x03 && bytes[3] == 0x04) || (bytes[2] == 0x01 && bytes[3] == 0x02));
    moveTo(reader, here);
    return record;
}

// Entries whose data is ended by a data descriptor, which then records the CRC-32 and sizes.
// Stored and deflated entries with flag bit 3 go by the descriptor even where the local header
// has sizes: some writers put wrong ones there (zip -P on a pipe records a stored entry's size
// without its encryption header, and its check word as the CRC-32). Other methods need a
// length to decode, so their recorded one is used when there is one.
bool isStreamed(uint16_t flags, uint16_t method, const EntrySizes& recorded) {
    if ((flags & kFlagDataDescriptor) == 0) return false;
    return sizesMissing(recorded) || method == kMethodStored || methodEndsItself(method, flags);
}

// One extraction of an entry's data, with the CRC-32 and size it is to be judged by.
struct Attempt {
    DecodeResult result;
    RecordedCrc crc{0, false};
    bool descriptorFound = false;
    DataDescriptor descriptor;
    bool positioned = false;      // the reader stands behind the entry's data descriptor
    bool usedLocalSizes = false;  // no descriptor: judged by the local header after all
    // The size the bytes are judged by, when one is recorded anywhere.
    bool sizeKnown = false;
    uint64_t recordedSize = 0;
    // The compressed size the data was read by (encryption header and code included), where
    // one is known: an AES entry's authentication code lies at its end.
    bool compressedKnown = false;
    uint64_t compressedSize = 0;
};

// The bytes of the encryption header in front of the data: traditional encryption's 12, or
// WinZip AES's salt and password verifier.
uint64_t encryptionHeaderBytes(const EntryData& entry, bool encrypted) {
    if (!encrypted) return 0;
    if (entry.aesStrength != 0) return static_cast<uint64_t>(aesHeaderBytes(entry.aesStrength));
    return kEncryptionHeaderBytes;
}

// The bytes behind the data that the compressed size counts: AES's authentication code.
uint64_t encryptionTrailerBytes(const EntryData& entry, bool encrypted) {
    return encrypted && entry.aesStrength != 0 ? kAesCodeBytes : 0;
}

void setCompressedSize(Attempt& attempt, uint64_t size) {
    attempt.compressedKnown = true;
    attempt.compressedSize = size;
}

// True when the attempt's bytes are shown to be the entry's: the method ran to its end, and
// the size and CRC-32 it is judged by agree.
bool attemptIntact(const Attempt& attempt, DecodedBytes& decoded) {
    if (!ranToEnd(attempt.result) || !attempt.sizeKnown) return false;
    int64_t size = decodedSize(decoded);
    if (size < 0 || static_cast<uint64_t>(size) != attempt.recordedSize) return false;
    if (!attempt.crc.known) return true;
    uint32_t crc = 0;
    return crcOfDecoded(decoded, crc) && crc == attempt.crc.value;
}

// Reads the descriptor right behind self-terminated data that ended at `dataEnd`, and leaves
// the reader behind it. A signed descriptor whose sizes disagree is still taken as this
// entry's (its sizes then judge the data); without a signature, only agreeing sizes make one.
void readDescriptorBehind(ArchiveReader& reader, int64_t dataEnd, uint64_t compressedSize,
                          uint64_t produced, Attempt& attempt) {
    moveTo(reader, dataEnd);
    uint8_t bytes[kDescriptorLookahead];
    auto got = static_cast<size_t>(readUpTo(reader, bytes, kDescriptorLookahead));
    DescriptorExpectation expected;
    expected.compressedSize = compressedSize;
    expected.uncompressedSize = produced;
    expected.uncompressedKnown = true;
    bool endAfter = got < kDescriptorLookahead;
    attempt.descriptorFound = matchDescriptor(bytes, got, endAfter, expected, attempt.descriptor) ||
                              readSignedDescriptor(bytes, got, attempt.descriptor);
    if (attempt.descriptorFound) {
        moveTo(reader, dataEnd + attempt.descriptor.length);
        attempt.positioned = true;
    }
}

// Extracts the entry once with the current password. A streamed entry's data end is found
// first: a method that ends itself (deflate, bzip2, ...) is decoded to its end and its
// descriptor follows; other methods' ends are searched for.
Attempt extractOnce(SalvageRun& run, const EntryData& entry, bool streamed, DecodedBytes& decoded,
                    bool encrypted, const uint8_t* encryptionHeader, int64_t dataStart,
                    const RecordedCrc& headerCrc) {
    EntryByteSource source{&run.reader, readFromArchive, readUpToFromArchive};
    const char* password = run.passwords.currentPassword;
    const EntryOutput output = decodedOutput(decoded);
    Attempt attempt;
    if (!streamed) {
        attempt.result = extractEntryData(entry, output, encrypted, password, encryptionHeader,
                                          source, run.flags);
        attempt.crc = headerCrc;
        attempt.sizeKnown = true;
        attempt.recordedSize = entry.uncompressedSize;
        setCompressedSize(attempt, entry.compressedSize);
        return attempt;
    }
    const uint64_t headerBytes = encryptionHeaderBytes(entry, encrypted);
    const uint64_t trailerBytes = encryptionTrailerBytes(entry, encrypted);
    const bool aes = encrypted && entry.aesStrength != 0;
    if (methodEndsItself(entry.method, entry.generalFlags)) {
        EntryData unknown = entry;
        unknown.lengthUnknown = true;
        attempt.result = extractEntryData(unknown, output, encrypted, password, encryptionHeader,
                                          source, run.flags);
        if (ranToEnd(attempt.result)) {
            // An AES entry's authentication code follows the data, the descriptor follows it.
            const uint64_t sized = attempt.result.consumed + headerBytes + trailerBytes;
            setCompressedSize(attempt, sized);
            int64_t dataEnd =
                dataStart + static_cast<int64_t>(attempt.result.consumed + trailerBytes);
            readDescriptorBehind(run.reader, dataEnd, sized, attempt.result.produced, attempt);
        }
    } else {
        ExtractContext context;
        initExtractContext(context, output, 0, 0, encrypted && !aes, password,
                           aes ? nullptr : encryptionHeader, source, run.flags);
        if (aes) useAesFraming(context, nullptr, entry.aesStrength);
        // Stored data is copied by the search itself, except under AES, whose code would be
        // taken for data: its end is found, and then it is read as any method is.
        const bool copies = entry.method == kMethodStored && !aes;
        DecodeResult searched = searchDescriptor(context, copies, attempt.descriptor);
        attempt.descriptorFound = ranToEnd(searched);
        int64_t dataEnd = dataStart + static_cast<int64_t>(searched.consumed);
        if (attempt.descriptorFound) setCompressedSize(attempt, searched.consumed + headerBytes);
        if (copies || !attempt.descriptorFound) {
            attempt.result = searched;
            // Without a descriptor nothing marks where the data ends: there is nothing the
            // method could be given to decode.
            if (!copies && searched.end == DecodeEnd::kInputEnded) {
                attempt.result.end = DecodeEnd::kCorruptData;
                attempt.result.produced = 0;
            }
        } else {
            moveTo(run.reader, dataStart);
            EntryData sized = entry;
            sized.compressedSize = searched.consumed + headerBytes;
            sized.uncompressedSize = attempt.descriptor.uncompressedSize;
            attempt.result = extractEntryData(sized, output, encrypted, password, encryptionHeader,
                                              source, run.flags);
        }
        if (attempt.descriptorFound) {
            moveTo(run.reader, dataEnd + attempt.descriptor.length);
            attempt.positioned = true;
        }
    }
    if (attempt.descriptorFound) {
        attempt.crc = RecordedCrc{attempt.descriptor.crc, true};
        attempt.sizeKnown = true;
        attempt.recordedSize = attempt.descriptor.uncompressedSize;
    } else if (!sizesMissing(EntrySizes{entry.compressedSize, entry.uncompressedSize}) &&
               judgedByData(attempt.result)) {
        // No descriptor behind the data, but the local header has sizes: they are the witness
        // left, so the entry is read again by them.
        moveTo(run.reader, dataStart);
        if (!emptyDecoded(decoded)) {
            attempt.result.end = DecodeEnd::kOutputFailed;
            return attempt;
        }
        attempt.result = extractEntryData(entry, output, encrypted, password, encryptionHeader,
                                          source, run.flags);
        attempt.crc = headerCrc;
        attempt.usedLocalSizes = true;
        attempt.sizeKnown = true;
        attempt.recordedSize = entry.uncompressedSize;
        setCompressedSize(attempt, entry.compressedSize);
    }
    return attempt;
}

// Extracts the entry with the current password, by its local header (and descriptor) first.
// When that does not give intact bytes and the archive's directory has a record for this
// header with other sizes, the entry is read again by the record; the record's reading is kept
// only when its bytes are intact, so a damaged directory never costs what the local data gave.
Attempt extractAttempt(SalvageRun& run, const EntryData& entry, bool streamed,
                       DecodedBytes& decoded, bool encrypted, const uint8_t* encryptionHeader,
                       int64_t dataStart, const RecordedCrc& headerCrc,
                       const CentralRecord* witness) {
    Attempt attempt = extractOnce(run, entry, streamed, decoded, encrypted, encryptionHeader,
                                  dataStart, headerCrc);
    if (witness == nullptr || !judgedByData(attempt.result)) return attempt;
    // The method ran to its end with the size it is judged by: the CRC-32 judges it later, and
    // the record (with these sizes or others) could not do better.
    int64_t produced = decodedSize(decoded);
    if (ranToEnd(attempt.result) && attempt.sizeKnown && produced >= 0 &&
        static_cast<uint64_t>(produced) == attempt.recordedSize) {
        return attempt;
    }
    const uint64_t headerBytes = encryptionHeaderBytes(entry, encrypted);
    bool sameSizes =
        attempt.sizeKnown && witness->uncompressedSize == attempt.recordedSize &&
        witness->compressedSize ==
            (attempt.descriptorFound ? attempt.descriptor.compressedSize : entry.compressedSize);
    if (witness->method != entry.method || sameSizes || witness->compressedSize < headerBytes) {
        return attempt;
    }
    moveTo(run.reader, dataStart);
    if (!emptyDecoded(decoded)) {
        attempt.result.end = DecodeEnd::kOutputFailed;
        return attempt;
    }
    EntryData sized = entry;
    sized.compressedSize = witness->compressedSize;
    sized.uncompressedSize = witness->uncompressedSize;
    EntryByteSource source{&run.reader, readFromArchive, readUpToFromArchive};
    Attempt second;
    second.result =
        extractEntryData(sized, decodedOutput(decoded), encrypted, run.passwords.currentPassword,
                         encryptionHeader, source, run.flags);
    // AE-2 records no CRC-32 (the field is 0): the authentication code judges those bytes.
    second.crc =
        entry.aesStrength != 0 && !headerCrc.known ? headerCrc : RecordedCrc{witness->crc32, true};
    second.sizeKnown = true;
    second.recordedSize = witness->uncompressedSize;
    setCompressedSize(second, witness->compressedSize);
    if (attemptIntact(second, decoded)) {
        // The scan goes on where the record says the data ends.
        moveTo(run.reader, dataStart + static_cast<int64_t>(witness->compressedSize - headerBytes));
        second.positioned = true;
        return second;
    }
    moveTo(run.reader, dataStart);
    if (!emptyDecoded(decoded)) {
        attempt.result.end = DecodeEnd::kOutputFailed;
        return attempt;
    }
    return extractOnce(run, entry, streamed, decoded, encrypted, encryptionHeader, dataStart,
                       headerCrc);
}

// Re-encodes what `input` delivers into `output`, the stream's last pending bytes included:
// stored when small, already compressed or `storeAnyway`, deflated otherwise. `streamMade` is
// false when no memory was left for the stream's buffers (nothing was written then).
void encodeStream(const StreamInput& input, DecodedBytes& decoded, const char* name,
                  uint64_t recoveredSize, bool storeAnyway, const StreamOutput& output,
                  RunFlags& flags, const RunFlags& cancel, Recompressed& result, bool& streamMade) {
    result = Recompressed{};
    RecompressStream stream;
    streamMade = initRecompressStream(stream, input, output, flags);
    if (!streamMade) return;
    stream.cancelFlags = &cancel;
    bool stored = storeAnyway || recoveredSize < kStoreBelowBytes || isPrecompressedName(name);
    bool copied = stored ? storeFile(stream) : deflateFile(stream);
    // A read of the temporary file that fails looks like its end: an entry read back short is
    // not written (its header would promise bytes it does not hold), and the log names it.
    if (copied && decoded.readPosition != recoveredSize) copied = false;
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
}

Recompressed recompressEntry(SalvageRun& run, const char* name, const std::string& shown,
                             DecodedBytes& decoded, uint64_t recoveredSize, bool storeAnyway) {
    Recompressed result;
    StreamInput input{};
    if (!startReadingDecoded(decoded, input)) {
        logAboutName(run, kTextCannotOpen, decoded.path);
        return result;
    }
    // Only the output is written from here on: a write failing now is the output's.
    bool failedBefore = hasWriteFailed(run.flags);
    bool streamMade = false;
    encodeStream(input, decoded, name, recoveredSize, storeAnyway, run.output->dataOutput(),
                 run.flags, run.flags, result, streamMade);
    if (streamMade && !result.succeeded && !failedBefore && hasWriteFailed(run.flags)) {
        // A full or failing output disk: the run ends with that message, not with a verdict
        // on this entry.
        run.outputFailed = true;
    } else if (!result.succeeded) {
        // Also no memory for the stream's buffers: the entry is lost, and the log says which.
        logAboutName(run, kTextUnableToRecompress, shown);
    }
    return result;
}

// Writes the entry's local header and then its data. Whether the header carries the Zip64
// extra is settled by the recovered size before any data is written; deflate output that would
// reach 4 GiB from less (incompressible data just under 4 GiB) is replaced by a stored copy,
// which fits the header as written.
bool writeEntry(SalvageRun& run, QueuedItem& item, Recompressed& written) {
    SalvagedEntry& entry = *item.entry;
    if (!beginOutputEntry(run, entry)) return false;  // run.outputFailed says whether it ends
    const bool store = run.output->takesDecodedBytes();
    written = recompressEntry(run, entry.name.c_str(), item.shownName, item.decoded, item.recovered,
                              store);
    if (written.succeeded && !entry.zip64Local && needsZip64(written.compressedSize)) {
        if (!run.output->restartData()) {
            run.outputFailed = true;
            return false;
        }
        written = recompressEntry(run, entry.name.c_str(), item.shownName, item.decoded,
                                  item.recovered, true);
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
void logWrittenVerdict(SalvageRun& run, QueuedItem& item, const Recompressed& written) {
    if (!item.damaged && item.crcKnown && written.crc != item.expectedCrc) {
        logCrcMismatch(run, item.shownName, written.crc, item.expectedCrc);
        ++run.partialCount;
        item.damaged = true;
    }
    if (!item.damaged) logAboutName(run, kTextFileOk, item.shownName, item.recovered);
    item.outcome.intact = !item.damaged;
}

// Checks an AES entry's authentication code over the data the attempt read, the reader put back
// where it stood. Where the data's end is not known, the code cannot be found.
AesCodeCheck checkAttemptCode(SalvageRun& run, const EntryData& entry, const Attempt& attempt,
                              const uint8_t* encryptionHeader, int64_t dataStart) {
    const auto overhead = static_cast<uint64_t>(aesOverheadBytes(entry.aesStrength));
    if (!attempt.compressedKnown || attempt.compressedSize < overhead) {
        return AesCodeCheck::kCutShort;
    }
    const int64_t here = logicalPosition(run.reader);
    moveTo(run.reader, dataStart);
    EntryByteSource source{&run.reader, readFromArchive, readUpToFromArchive};
    AesCodeCheck check = checkAesCode(run.passwords.currentPassword, entry.aesStrength,
                                      encryptionHeader, source, attempt.compressedSize - overhead);
    moveTo(run.reader, here);
    return check;
}

// Names the spans of a damaged entry's bytes that are zeros for bytes not decoded: how many
// bytes, and where the first span lies.
void logUnknownRanges(SalvageRun& run, const std::string& name, const UnknownRanges& unknown) {
    if (unknown.ranges.empty()) return;
    std::string line(name.size() + 256, '\0');
    formatText(line.data(), static_cast<int>(line.size()), loadText(kTextUnknownRanges),
               name.c_str(), static_cast<unsigned long long>(unknownByteCount(unknown)),
               static_cast<unsigned long long>(unknown.ranges.size()),
               static_cast<unsigned long long>(unknown.ranges[0].start),
               static_cast<unsigned long long>(unknown.ranges[0].end));
    logText(run, line.c_str());
}

// The output entry is neither encrypted nor in method 99: the AES field goes.
void dropAesField(SalvagedEntry& entry) {
    EntryMetadata& metadata = entry.metadata;
    metadata.localExtra = withoutExtraField(metadata.localExtra, kExtraWinZipAes);
    metadata.centralExtra = withoutExtraField(metadata.centralExtra, kExtraWinZipAes);
    setHeaderField16(entry.header, kLocalExtraLength,
                     static_cast<uint16_t>(metadata.localExtra.size()));
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
        bool streamMade = false;
        encodeStream(input, item.decoded, item.entry->name.c_str(), item.recovered, storeAnyway,
                     encodedOutput(item.encoded), own, cancel, item.written, streamMade);
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

bool writeQueuedEntry(SalvageRun& run, QueuedItem& item) {
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

bool writeJudgedEntry(SalvageRun& run, QueuedItem& item) {
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

void discardTempFile() {
    std::string folder = runTempFolder();
    if (!folder.empty()) deleteFile((folder + kEntryTempFileName).c_str());
}

// A deflated entry that decoded to its recorded size but not to its CRC-32 holds damage the
// stream itself did not show (a flipped bit, a zeroed span decoded as codes): it is decoded
// again, known damaged, so that a flipped bit is repaired or the data behind the damage is
// recovered at its offsets.
void decodeAgainIfWrong(SalvageRun& run, const EntryData& data, bool streamed, int encrypted,
                        int64_t dataStart, Attempt& attempt, DecodedBytes& decoded) {
    const bool deflated = data.method == kMethodDeflated || data.method == kMethodDeflate64;
    if (encrypted || streamed || !deflated || !ranToEnd(attempt.result) || !attempt.crc.known ||
        decodedSize(decoded) != static_cast<int64_t>(data.uncompressedSize) ||
        outputMatches(attempt.result, decoded, attempt.crc)) {
        return;
    }
    moveTo(run.reader, dataStart);
    EntryData again = data;
    again.knownDamaged = true;
    again.crc32 = attempt.crc.value;
    again.crcKnown = true;
    EntryByteSource source{&run.reader, readFromArchive, readUpToFromArchive};
    attempt.result =
        extractEntryData(again, decodedOutput(decoded), 0, "", nullptr, source, run.flags);
}

// The comment of an entry with holes in Salvaged.zip's central directory: where they are,
// after the entry's own comment.
void noteUnknownInComment(SalvagedEntry& entry, const UnknownRanges& unknown) {
    if (unknown.ranges.empty()) return;
    std::string note(256, '\0');
    formatText(note.data(), static_cast<int>(note.size()), loadText(kTextUnknownRangesComment),
               static_cast<unsigned long long>(unknownByteCount(unknown)));
    note.resize(std::strlen(note.c_str()));
    std::string& comment = entry.metadata.unknownNote;
    comment = note;
    // A few kilobytes of spans at most, so that a comment of the directory's keeps its room in
    // the field's 65535 bytes (APPNOTE 4.4.16); the spans past them are left out.
    constexpr size_t kRoomForSpans = 4096;
    for (size_t index = 0; index < unknown.ranges.size(); ++index) {
        const std::string span = " [" + std::to_string(unknown.ranges[index].start) + ", " +
                                 std::to_string(unknown.ranges[index].end) + ")";
        if (comment.size() + span.size() > kRoomForSpans) {
            comment += " ...";
            break;
        }
        comment += span;
    }
    // The directory's comment, where one survives, goes in front of it at the end of the scan.
    entry.metadata.comment = comment;
}

bool judgeEntry(SalvageRun& run, QueuedItem& item, const EntrySizes& recorded) {
    ++run.filesFound;
    SalvagedEntry& entry = *item.entry;
    EntryOutcome& outcome = item.outcome;
    bool damaged = false;
    LocalHeader& header = entry.header;
    const char* name = entry.name.c_str();
    uint16_t flags = headerField16(header, kLocalFlags);
    bool encrypted = (flags & kFlagEncrypted) != 0;
    // A WinZip AES entry (method 99) names the method under the encryption in its AES field;
    // only entries with a well-formed field get here (keepsMethodAsIs).
    const AesField& aesField = entry.metadata.aes;
    bool aes = encrypted && headerField16(header, kLocalMethod) == kMethodAes;
    // AE-2 leaves the CRC-32 fields 0: the authentication code is the only check.
    bool crcUnused = aes && aesField.vendorVersion == kAesVendorVersion2;
    uint16_t method = aes ? aesField.method : headerField16(header, kLocalMethod);
    uint8_t encryptionHeader[kAesMaxHeaderBytes] = {};
    RecordedCrc recordedCrc{headerField32(header, kLocalCrc32), true};
    // A streaming writer leaves the field 0 and puts the CRC-32 after the data (APPNOTE 4.4.4).
    if ((flags & kFlagDataDescriptor) != 0 && recordedCrc.value == 0) recordedCrc.known = false;
    if (crcUnused) recordedCrc.known = false;
    // An empty encrypted entry (a folder) some writers record with the 12 bytes of an
    // encryption header they never wrote: the next record begins where that header would, so
    // the entry has no data at all and takes nothing of what follows.
    const bool noData = encrypted && recorded.uncompressed == 0 &&
                        recorded.compressed <= kEncryptionHeaderBytes &&
                        recordFollowsHere(run.reader);
    if (noData) {
        encrypted = false;
        aes = false;
        crcUnused = false;
        recordedCrc = RecordedCrc{0, true};  // of no bytes
    }
    const bool streamed = !noData && isStreamed(flags, method, recorded);
    outcome.streamed = streamed;
    item.shownName = shownName(run, entry);
    const std::string& shown = item.shownName;

    EntryData data;
    data.method = method;
    data.aesStrength = aes ? aesField.strength : 0;
    data.unknown = &outcome.unknown;
    data.generalFlags = flags;
    data.crc32 = recordedCrc.value;
    data.crcKnown = recordedCrc.known;
    DataRepair repair;
    data.repair = &repair;
    data.compressedSize = recorded.compressed;
    data.uncompressedSize = recorded.uncompressed;
    if (noData) {
        data.method = kMethodStored;
        data.compressedSize = 0;
    }

    PasswordRequest request{name, encryptionHeader, recordedCrc.value,
                            headerField16(header, kLocalModTime), flags};
    request.aesStrength = data.aesStrength;
    PasswordSearch search;
    if (encrypted) {
        const int64_t encryptedStart = logicalPosition(run.reader);
        readUpTo(run.reader, encryptionHeader,
                 static_cast<int64_t>(encryptionHeaderBytes(data, encrypted)));
        if (!nextPassword(run.passwords, request, search)) {
            // A prompt ended by a cancel is no verdict on the entry: say nothing.
            if (isCancelled(run.flags)) return false;
            // The entry is copied as it lies, so the right password opens it later.
            moveTo(run.reader, encryptedStart);
            outcome.keepEncrypted = true;
            return false;
        }
    }
    const int64_t dataStart = logicalPosition(run.reader);
    // The directory records the name as the local header did, before any escape or Unicode
    // Path name replaced it.
    const std::string& recordedName = entry.metadata.recordedName;
    const CentralRecord* witness = directoryRecordFor(
        run.directoryAhead, entry.metadata.archiveOffset, recordedName.data(), recordedName.size());

    // Memory holds the decoded bytes; the temporary file is made only when they outgrow it,
    // and is closed and deleted with `decoded`.
    DecodedBytes& decoded = item.decoded;
    Attempt attempt;
    AesCodeCheck code = AesCodeCheck::kCutShort;
    while (true) {
        attempt = extractAttempt(run, data, streamed, decoded, encrypted, encryptionHeader,
                                 dataStart, recordedCrc, witness);
        if (crcUnused) attempt.crc.known = false;  // a descriptor's 0 is no CRC-32 either
        if (!encrypted || !judgedByData(attempt.result)) break;
        if (aes) {
            // A matching code proves the password (and the data). Without one, only a CRC-32
            // that matches does (AE-1); AE-2 data decoded with a wrong key may look whole.
            code = checkAttemptCode(run, data, attempt, encryptionHeader, dataStart);
            if (code == AesCodeCheck::kMatches ||
                (attempt.crc.known && outputMatches(attempt.result, decoded, attempt.crc))) {
                break;
            }
        } else if (outputMatches(attempt.result, decoded, attempt.crc)) {
            break;
        }
        // One wrong password in 256 passes the check byte (AES: one in 65536 passes the
        // verifier): the decrypted data and its code have the last word.
        // The next candidate starts again at the entry's first data byte, read anew from the
        // archive, so an entry of any size is tried whole.
        search.provenWrong.emplace_back(run.passwords.currentPassword);
        request.typedWasWrong = search.source == PasswordSource::kTyped;
        PasswordSource triedSource = search.source;
        std::string tried = run.passwords.currentPassword;
        if (!nextPassword(run.passwords, request, search)) {
            if (isCancelled(run.flags)) {
                attempt.result.end = DecodeEnd::kCancelled;
                break;
            }
            // No candidate left: the last attempt's bytes stay, judged like any others.
            std::snprintf(run.passwords.currentPassword, kPasswordBufferBytes, "%s", tried.c_str());
            search.source = triedSource;
            break;
        }
        moveTo(run.reader, dataStart);
        if (!emptyDecoded(decoded)) {
            attempt.result.end = DecodeEnd::kOutputFailed;
            break;
        }
    }
    decodeAgainIfWrong(run, data, streamed, encrypted, dataStart, attempt, decoded);
    if (repair.made) {
        logAboutName(run, kTextFlippedBitRepaired, shown, repair.byteOffset, repair.bitInByte);
    }
    // A streaming writer's CRC-32 that no descriptor gave is still in the central header
    // (APPNOTE 4.4.4: bit 3 leaves only the local header's fields 0).
    if (!attempt.crc.known && witness != nullptr && !crcUnused) {
        attempt.crc = RecordedCrc{witness->crc32, true};
    }
    // The code vouches for AE-2 bytes, which have no CRC-32 of their own: theirs is recorded
    // in the output.
    uint32_t decodedCrc = 0;
    if (crcUnused && code == AesCodeCheck::kMatches && ranToEnd(attempt.result) &&
        crcOfDecoded(decoded, decodedCrc)) {
        attempt.crc = RecordedCrc{decodedCrc, true};
    }
    // Deflate marks its own end (RFC 1951 3.2.3), as do bzip2, xz, zstd and LZMA with its end
    // marker: a stream that ended before the recorded compressed size leaves the rest to the
    // scan, which goes on from the real end, so a size too large hides no entry behind it. An
    // entry without data ends where it starts.
    const uint64_t headerBytes = encryptionHeaderBytes(data, encrypted);
    const uint64_t trailerBytes = encryptionTrailerBytes(data, encrypted);
    if (!attempt.positioned && methodEndsItself(data.method, flags) && ranToEnd(attempt.result) &&
        attempt.result.consumed + headerBytes + trailerBytes < data.compressedSize) {
        moveTo(run.reader,
               dataStart + static_cast<int64_t>(attempt.result.consumed + trailerBytes));
        attempt.positioned = true;
    }
    if (noData) {
        moveTo(run.reader, dataStart);
        attempt.positioned = true;
    }
    const DecodeResult& extracted = attempt.result;
    outcome.positioned = attempt.positioned;
    // Only the temporary file is written while extracting; its failure's reason is taken
    // before any later call can replace it.
    std::string tempFailure =
        extracted.end == DecodeEnd::kOutputFailed ? lastSystemError() : std::string();
    // A password that opened an entry is tried first on the later ones.
    if (encrypted && search.source != PasswordSource::kRemembered) {
        rememberPassword(run.passwords, run.passwords.currentPassword);
    }
    if (extracted.end == DecodeEnd::kCancelled) return false;
    if (extracted.end == DecodeEnd::kOutputFailed && decoded.noFile) {
        // The entry outgrew memory and no temporary file could be made for the rest.
        logAboutName(run, kTextNoTempFile, decoded.path);
        ++run.systemErrorCount;
        clearWriteFailed(run.flags);
        return false;
    }
    if (extracted.end == DecodeEnd::kOutputFailed) {
        // The temporary file did not take what was decoded (a full or failing temporary
        // folder): what it holds is not the entry's data, so nothing of it is kept. The system
        // failed, not the data. Only this entry is lost: its file is removed to give the room
        // back and the flag is cleared, so that later entries, which may well fit, are salvaged.
        logTempWriteFailed(run, shown, tempFailure);
        ++run.systemErrorCount;
        clearWriteFailed(run.flags);
        return false;
    }
    // A streamed entry's size is known from its descriptor only.
    const bool sizeKnown = attempt.sizeKnown;
    const uint64_t recordedSize = attempt.recordedSize;
    outcome.sizeKnown = sizeKnown;
    outcome.recordedSize = sizeKnown ? recordedSize : 0;
    outcome.recordedCrc = attempt.crc.known ? attempt.crc.value : 0;
    if (!ranToEnd(extracted)) {
        int64_t salvaged = decodedSize(decoded);
        uint64_t kept = static_cast<uint64_t>(salvaged < 0 ? 0 : salvaged);
        if (extracted.end == DecodeEnd::kNoMemory) {
            // Not the data's fault: counted as a system error, and what was decoded is kept.
            if (sizeKnown) {
                logAboutName(run, kTextNoMemoryForEntry, shown, kept, recordedSize);
            } else {
                logAboutName(run, kTextNoMemorySizeUnknown, shown, kept);
            }
            ++run.systemErrorCount;
        } else {
            if (sizeKnown) {
                logAboutName(run, kTextFileCorrupt, shown, kept, recordedSize);
            } else {
                logAboutName(run, kTextFileCorruptSizeUnknown, shown, kept);
            }
            logUnknownRanges(run, shown, outcome.unknown);
            noteUnknownInComment(entry, outcome.unknown);
            if (salvaged <= 0) {
                ++run.unrecoverableCount;
            } else {
                ++run.partialCount;
            }
        }
        damaged = true;
    }

    int64_t size = decodedSize(decoded);
    uint64_t recovered = static_cast<uint64_t>(size < 0 ? 0 : size);
    if (!damaged && aes && code != AesCodeCheck::kMatches) {
        // Decoded to the end, but the code does not vouch for the encrypted bytes: damaged
        // data (or a damaged code), never called whole.
        logAboutName(run, kTextAesCodeMismatch, shown, recovered);
        damaged = true;
        ++run.partialCount;
    }
    if (!damaged && !sizeKnown) {
        // Nothing to check the bytes against: they may be whole, but the log must not say so.
        logAboutName(run, kTextNoDescriptor, shown, recovered);
        damaged = true;
        ++run.partialCount;
    }
    if (!damaged && recovered != recordedSize) {
        // Other bytes than the recorded ones: the size is all that is wrong only when the
        // CRC-32 still matches (or none is recorded); otherwise the bytes themselves are.
        uint32_t crc = 0;
        if (attempt.crc.known && crcOfDecoded(decoded, crc) && crc != attempt.crc.value) {
            logCrcMismatch(run, shown, crc, attempt.crc.value);
        } else {
            logAboutName(run, kTextSizeWarning, shown, recovered, recordedSize);
        }
        damaged = true;
        ++run.partialCount;
    }
    if (!damaged && !attempt.crc.known) {
        // The size matches, but nothing says the bytes are the entry's: not OK, not whole.
        logAboutName(run, kTextCrcNotRecorded, shown, recovered);
        damaged = true;
        ++run.partialCount;
    }

    if (aes) dropAesField(entry);
    entry.zip64Local = needsZip64(recovered);
    noteOriginalData(item, flags, data.method, dataStart, ranToEnd(extracted), extracted.consumed,
                     attempt.compressedKnown, attempt.compressedSize);
    // A repaired bit lies in the archive's bytes still: those bytes are not the entry's.
    if (repair.made) item.original = OriginalData{};
    item.recovered = recovered;
    item.damaged = damaged;
    item.crcKnown = attempt.crc.known;
    item.expectedCrc = attempt.crc.value;
    entry.sizes = EntrySizes{0, recovered};
    return true;
}

}  // namespace zipsalvage
