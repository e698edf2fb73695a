// Extracting an entry once, by what its local header, its data descriptor or its directory
// record says of its sizes, and checking an AES entry's authentication code.
#include "engine/entry/entry_attempts.h"

#include <cstring>

#include "engine/witness/central_directory.h"

namespace zipsalvage {
namespace {

bool readFromArchive(void* owner, uint8_t* destination, int32_t count) {
    return readExact(*static_cast<ArchiveReader*>(owner), destination, count);
}

int32_t readUpToFromArchive(void* owner, uint8_t* destination, int32_t count) {
    return static_cast<int32_t>(readUpTo(*static_cast<ArchiveReader*>(owner), destination, count));
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

// A streamed entry in a method that ends itself (deflate, bzip2, ...): decoded to its end,
// and its descriptor read right behind it.
void extractToItsEnd(EntryContext& run, const AttemptInput& input, const EntryOutput& output,
                     Attempt& attempt) {
    const EntryData& entry = input.data;
    EntryByteSource source{&run.reader, readFromArchive, readUpToFromArchive};
    EntryData unknown = entry;
    unknown.lengthUnknown = true;
    attempt.result =
        extractEntryData(unknown, output, input.encrypted, run.passwords.currentPassword,
                         input.encryptionHeader, source, run.flags);
    if (!ranToEnd(attempt.result)) return;
    // An AES entry's authentication code follows the data, the descriptor follows it.
    const uint64_t headerBytes = encryptionHeaderBytes(entry, input.encrypted);
    const uint64_t trailerBytes = encryptionTrailerBytes(entry, input.encrypted);
    const uint64_t sized = attempt.result.consumed + headerBytes + trailerBytes;
    setCompressedSize(attempt, sized);
    int64_t dataEnd =
        input.dataStart + static_cast<int64_t>(attempt.result.consumed + trailerBytes);
    readDescriptorBehind(run.reader, dataEnd, sized, attempt.result.produced, attempt);
}

// A streamed entry in a method that does not end itself: its data descriptor is searched for,
// and the data it closes decoded by its sizes (stored data is copied by the search itself).
void extractBySearch(EntryContext& run, const AttemptInput& input, const EntryOutput& output,
                     Attempt& attempt) {
    const EntryData& entry = input.data;
    const bool encrypted = input.encrypted;
    const char* password = run.passwords.currentPassword;
    EntryByteSource source{&run.reader, readFromArchive, readUpToFromArchive};
    const uint64_t headerBytes = encryptionHeaderBytes(entry, encrypted);
    const bool aes = encrypted && entry.aesStrength != 0;
    ExtractContext context;
    initExtractContext(context, output, 0, 0, encrypted && !aes, password,
                       aes ? nullptr : input.encryptionHeader, source, run.flags);
    if (aes) useAesFraming(context, nullptr, entry.aesStrength);
    // Stored data is copied by the search itself, except under AES, whose code would be taken
    // for data: its end is found, and then it is read as any method is.
    const bool copies = entry.method == kMethodStored && !aes;
    DecodeResult searched = searchDescriptor(context, copies, attempt.descriptor);
    attempt.descriptorFound = ranToEnd(searched);
    int64_t dataEnd = input.dataStart + static_cast<int64_t>(searched.consumed);
    if (attempt.descriptorFound) setCompressedSize(attempt, searched.consumed + headerBytes);
    if (copies || !attempt.descriptorFound) {
        attempt.result = searched;
        // Without a descriptor nothing marks where the data ends: there is nothing the method
        // could be given to decode.
        if (!copies && searched.end == DecodeEnd::kInputEnded) {
            attempt.result.end = DecodeEnd::kCorruptData;
            attempt.result.produced = 0;
        }
    } else {
        moveTo(run.reader, input.dataStart);
        EntryData sized = entry;
        sized.compressedSize = searched.consumed + headerBytes;
        sized.uncompressedSize = attempt.descriptor.uncompressedSize;
        attempt.result = extractEntryData(sized, output, encrypted, password,
                                          input.encryptionHeader, source, run.flags);
    }
    if (attempt.descriptorFound) {
        moveTo(run.reader, dataEnd + attempt.descriptor.length);
        attempt.positioned = true;
    }
}

// Extracts the entry once with the current password. A streamed entry's data end is found
// first: a method that ends itself (deflate, bzip2, ...) is decoded to its end and its
// descriptor follows; other methods' ends are searched for.
Attempt extractOnce(EntryContext& run, const AttemptInput& input, DecodedBytes& decoded) {
    const EntryData& entry = input.data;
    const bool encrypted = input.encrypted;
    const uint8_t* encryptionHeader = input.encryptionHeader;
    EntryByteSource source{&run.reader, readFromArchive, readUpToFromArchive};
    const char* password = run.passwords.currentPassword;
    const EntryOutput output = decodedOutput(decoded);
    Attempt attempt;
    if (!input.streamed) {
        attempt.result = extractEntryData(entry, output, encrypted, password, encryptionHeader,
                                          source, run.flags);
        attempt.crc = input.headerCrc;
        attempt.sizeKnown = true;
        attempt.recordedSize = entry.uncompressedSize;
        setCompressedSize(attempt, entry.compressedSize);
        return attempt;
    }
    if (methodEndsItself(entry.method, entry.generalFlags)) {
        extractToItsEnd(run, input, output, attempt);
    } else {
        extractBySearch(run, input, output, attempt);
    }
    if (attempt.descriptorFound) {
        attempt.crc = RecordedCrc{attempt.descriptor.crc, true};
        attempt.sizeKnown = true;
        attempt.recordedSize = attempt.descriptor.uncompressedSize;
    } else if (!sizesMissing(EntrySizes{entry.compressedSize, entry.uncompressedSize}) &&
               judgedByData(attempt.result)) {
        // No descriptor behind the data, but the local header has sizes: they are the witness
        // left, so the entry is read again by them.
        moveTo(run.reader, input.dataStart);
        if (!emptyDecoded(decoded)) {
            attempt.result.end = DecodeEnd::kOutputFailed;
            return attempt;
        }
        attempt.result = extractEntryData(entry, output, encrypted, password, encryptionHeader,
                                          source, run.flags);
        attempt.crc = input.headerCrc;
        attempt.usedLocalSizes = true;
        attempt.sizeKnown = true;
        attempt.recordedSize = entry.uncompressedSize;
        setCompressedSize(attempt, entry.compressedSize);
    }
    return attempt;
}

}  // namespace

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

// The local header records no sizes: a streaming writer sets flag bit 3 and leaves them 0
// (APPNOTE 4.4.4), or 0xFFFFFFFF when the entry may need Zip64 (zeros in its Zip64 field).
bool sizesMissing(const EntrySizes& recorded) {
    return recorded.compressed == 0 || recorded.compressed == kZip64Marker32;
}

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

// Extracts the entry with the current password, by its local header (and descriptor) first.
// When that does not give intact bytes and the archive's directory has a record for this
// header with other sizes, the entry is read again by the record; the record's reading is kept
// only when its bytes are intact, so a damaged directory never costs what the local data gave.
Attempt extractAttempt(EntryContext& run, const AttemptInput& input, DecodedBytes& decoded) {
    const EntryData& entry = input.data;
    const bool encrypted = input.encrypted;
    const uint8_t* encryptionHeader = input.encryptionHeader;
    const int64_t dataStart = input.dataStart;
    const RecordedCrc& headerCrc = input.headerCrc;
    const CentralRecord* witness = input.witness;
    Attempt attempt = extractOnce(run, input, decoded);
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
    return extractOnce(run, input, decoded);
}

// Checks an AES entry's authentication code over the data the attempt read, the reader put back
// where it stood. Where the data's end is not known, the code cannot be found.
AesCodeCheck checkAttemptCode(EntryContext& run, const AttemptInput& input,
                              const Attempt& attempt) {
    const EntryData& entry = input.data;
    const auto overhead = static_cast<uint64_t>(aesOverheadBytes(entry.aesStrength));
    if (!attempt.compressedKnown || attempt.compressedSize < overhead) {
        return AesCodeCheck::kCutShort;
    }
    const int64_t here = logicalPosition(run.reader);
    moveTo(run.reader, input.dataStart);
    EntryByteSource source{&run.reader, readFromArchive, readUpToFromArchive};
    AesCodeCheck check =
        checkAesCode(run.passwords.currentPassword, entry.aesStrength, input.encryptionHeader,
                     source, attempt.compressedSize - overhead);
    moveTo(run.reader, here);
    return check;
}

// A deflated entry that decoded to its recorded size but not to its CRC-32 holds damage the
// stream itself did not show (a flipped bit, a zeroed span decoded as codes): it is decoded
// again, known damaged, so that a flipped bit is repaired or the data behind the damage is
// recovered at its offsets.
void decodeAgainIfWrong(EntryContext& run, const AttemptInput& input, Attempt& attempt,
                        DecodedBytes& decoded) {
    const EntryData& data = input.data;
    const bool deflated = data.method == kMethodDeflated || data.method == kMethodDeflate64;
    if (input.encrypted || input.streamed || !deflated || !ranToEnd(attempt.result) ||
        !attempt.crc.known || decodedSize(decoded) != static_cast<int64_t>(data.uncompressedSize) ||
        outputMatches(attempt.result, decoded, attempt.crc)) {
        return;
    }
    moveTo(run.reader, input.dataStart);
    EntryData again = data;
    again.knownDamaged = true;
    again.crc32 = attempt.crc.value;
    again.crcKnown = true;
    EntryByteSource source{&run.reader, readFromArchive, readUpToFromArchive};
    attempt.result =
        extractEntryData(again, decodedOutput(decoded), 0, "", nullptr, source, run.flags);
}

}  // namespace zipsalvage
