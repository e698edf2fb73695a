// The first half of an entry: judgeEntry (password, extraction into memory or the temporary
// file for a big entry, judging by the recorded CRC-32 and sizes and the directory's record).
#include "engine/entry/entry_salvage.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/entry/decoded_bytes.h"
#include "engine/entry/entry_attempts.h"
#include "engine/entry/entry_log.h"
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

// A write to the temporary file failed: the folder and the system's reason are named, since
// the remedy (room in $TMPDIR) is the user's and the archive is not at fault.
void logTempWriteFailed(RunLog& log, const std::string& name, const std::string& reason) {
    std::string folder = tempFolderParent();
    std::string line(name.size() + folder.size() + reason.size() + 256, '\0');
    formatText(line.data(), static_cast<int>(line.size()), loadText(kTextTempFolderWriteFailed),
               name.c_str(), folder.c_str(), reason.c_str());
    logText(log, line.c_str());
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

// Names the spans of a damaged entry's bytes that are zeros for bytes not decoded: how many
// bytes, and where the first span lies.
void logUnknownRanges(RunLog& log, const std::string& name, const UnknownRanges& unknown) {
    if (unknown.ranges.empty()) return;
    std::string line(name.size() + 256, '\0');
    formatText(line.data(), static_cast<int>(line.size()), loadText(kTextUnknownRanges),
               name.c_str(), static_cast<unsigned long long>(unknownByteCount(unknown)),
               static_cast<unsigned long long>(unknown.ranges.size()),
               static_cast<unsigned long long>(unknown.ranges[0].start),
               static_cast<unsigned long long>(unknown.ranges[0].end));
    logText(log, line.c_str());
}

// The output entry is neither encrypted nor in method 99: the AES field goes.
void dropAesField(SalvagedEntry& entry) {
    EntryMetadata& metadata = entry.metadata;
    metadata.localExtra = withoutExtraField(metadata.localExtra, kExtraWinZipAes);
    metadata.centralExtra = withoutExtraField(metadata.centralExtra, kExtraWinZipAes);
    setHeaderField16(entry.header, kLocalExtraLength,
                     static_cast<uint16_t>(metadata.localExtra.size()));
}

// What the found entry's headers say of its data: the facts its extraction goes by.
struct EntryFacts {
    uint16_t flags = 0;
    bool encrypted = false;
    bool aes = false;        // WinZip AES (method 99) around the method in its AES field
    bool crcUnused = false;  // AE-2 leaves the CRC-32 fields 0: the authentication code checks
    bool noData = false;     // an empty encrypted entry recorded with a header never written
    bool streamed = false;
    RecordedCrc recordedCrc{0, false};
    EntryData data;
};

EntryFacts readEntryFacts(EntryContext& run, SalvagedEntry& entry, const EntrySizes& recorded,
                          UnknownRanges* unknown, DataRepair* repair) {
    EntryFacts facts;
    LocalHeader& header = entry.header;
    const uint16_t flags = headerField16(header, kLocalFlags);
    facts.flags = flags;
    facts.encrypted = (flags & kFlagEncrypted) != 0;
    // A WinZip AES entry (method 99) names the method under the encryption in its AES field;
    // only entries with a well-formed field get here (keepsMethodAsIs).
    const AesField& aesField = entry.metadata.aes;
    facts.aes = facts.encrypted && headerField16(header, kLocalMethod) == kMethodAes;
    // AE-2 leaves the CRC-32 fields 0: the authentication code is the only check.
    facts.crcUnused = facts.aes && aesField.vendorVersion == kAesVendorVersion2;
    uint16_t method = facts.aes ? aesField.method : headerField16(header, kLocalMethod);
    RecordedCrc& recordedCrc = facts.recordedCrc;
    recordedCrc = RecordedCrc{headerField32(header, kLocalCrc32), true};
    // A streaming writer leaves the field 0 and puts the CRC-32 after the data (APPNOTE 4.4.4).
    if ((flags & kFlagDataDescriptor) != 0 && recordedCrc.value == 0) recordedCrc.known = false;
    if (facts.crcUnused) recordedCrc.known = false;
    // An empty encrypted entry (a folder) some writers record with the 12 bytes of an
    // encryption header they never wrote: the next record begins where that header would, so
    // the entry has no data at all and takes nothing of what follows.
    facts.noData = facts.encrypted && recorded.uncompressed == 0 &&
                   recorded.compressed <= kEncryptionHeaderBytes && recordFollowsHere(run.reader);
    if (facts.noData) {
        facts.encrypted = false;
        facts.aes = false;
        facts.crcUnused = false;
        recordedCrc = RecordedCrc{0, true};  // of no bytes
    }
    facts.streamed = !facts.noData && isStreamed(flags, method, recorded);

    EntryData& data = facts.data;
    data.method = method;
    data.aesStrength = facts.aes ? aesField.strength : 0;
    data.unknown = unknown;
    data.generalFlags = flags;
    data.crc32 = recordedCrc.value;
    data.crcKnown = recordedCrc.known;
    data.repair = repair;
    data.compressedSize = recorded.compressed;
    data.uncompressedSize = recorded.uncompressed;
    if (facts.noData) {
        data.method = kMethodStored;
        data.compressedSize = 0;
    }
    return facts;
}

// The passwords asked for and tried on one entry.
struct PasswordTurn {
    PasswordRequest request;
    PasswordSearch search;
};

// An extraction with its password settled, and what an AES entry's code said of it.
struct Extracted {
    Attempt attempt;
    AesCodeCheck code = AesCodeCheck::kCutShort;
};

// Extracts the entry with each password in turn until one is proven (or none is left), from
// the entry's first data byte every time, so an entry of any size is tried whole.
Extracted extractWithPasswords(EntryContext& run, const EntryFacts& facts,
                               const AttemptInput& input, PasswordTurn& turn,
                               DecodedBytes& decoded) {
    Extracted extracted;
    Attempt& attempt = extracted.attempt;
    while (true) {
        attempt = extractAttempt(run, input, decoded);
        if (facts.crcUnused) attempt.crc.known = false;  // a descriptor's 0 is no CRC-32 either
        if (!facts.encrypted || !judgedByData(attempt.result)) break;
        if (facts.aes) {
            // A matching code proves the password (and the data). Without one, only a CRC-32
            // that matches does (AE-1); AE-2 data decoded with a wrong key may look whole.
            extracted.code = checkAttemptCode(run, input, attempt);
            if (extracted.code == AesCodeCheck::kMatches ||
                (attempt.crc.known && outputMatches(attempt.result, decoded, attempt.crc))) {
                break;
            }
        } else if (outputMatches(attempt.result, decoded, attempt.crc)) {
            break;
        }
        // One wrong password in 256 passes the check byte (AES: one in 65536 passes the
        // verifier): the decrypted data and its code have the last word.
        PasswordSearch& search = turn.search;
        search.provenWrong.emplace_back(run.passwords.currentPassword);
        turn.request.typedWasWrong = search.source == PasswordSource::kTyped;
        PasswordSource triedSource = search.source;
        std::string tried = run.passwords.currentPassword;
        if (!nextPassword(run.passwords, turn.request, search)) {
            if (isCancelled(run.flags)) {
                attempt.result.end = DecodeEnd::kCancelled;
                break;
            }
            // No candidate left: the last attempt's bytes stay, judged like any others.
            std::snprintf(run.passwords.currentPassword, kPasswordBufferBytes, "%s", tried.c_str());
            search.source = triedSource;
            break;
        }
        moveTo(run.reader, input.dataStart);
        if (!emptyDecoded(decoded)) {
            attempt.result.end = DecodeEnd::kOutputFailed;
            break;
        }
    }
    return extracted;
}

// What the attempt is judged by where its own headers left it open, and where the scan goes
// on behind it.
void settleAttempt(EntryContext& run, const EntryFacts& facts, const AttemptInput& input,
                   Extracted& extracted, DecodedBytes& decoded) {
    Attempt& attempt = extracted.attempt;
    // A streaming writer's CRC-32 that no descriptor gave is still in the central header
    // (APPNOTE 4.4.4: bit 3 leaves only the local header's fields 0).
    if (!attempt.crc.known && input.witness != nullptr && !facts.crcUnused) {
        attempt.crc = RecordedCrc{input.witness->crc32, true};
    }
    // The code vouches for AE-2 bytes, which have no CRC-32 of their own: theirs is recorded
    // in the output.
    uint32_t decodedCrc = 0;
    if (facts.crcUnused && extracted.code == AesCodeCheck::kMatches && ranToEnd(attempt.result) &&
        crcOfDecoded(decoded, decodedCrc)) {
        attempt.crc = RecordedCrc{decodedCrc, true};
    }
    // Deflate marks its own end (RFC 1951 3.2.3), as do bzip2, xz, zstd and LZMA with its end
    // marker: a stream that ended before the recorded compressed size leaves the rest to the
    // scan, which goes on from the real end, so a size too large hides no entry behind it. An
    // entry without data ends where it starts.
    const EntryData& data = facts.data;
    const uint64_t headerBytes = encryptionHeaderBytes(data, facts.encrypted);
    const uint64_t trailerBytes = encryptionTrailerBytes(data, facts.encrypted);
    if (!attempt.positioned && methodEndsItself(data.method, facts.flags) &&
        ranToEnd(attempt.result) &&
        attempt.result.consumed + headerBytes + trailerBytes < data.compressedSize) {
        moveTo(run.reader,
               input.dataStart + static_cast<int64_t>(attempt.result.consumed + trailerBytes));
        attempt.positioned = true;
    }
    if (facts.noData) {
        moveTo(run.reader, input.dataStart);
        attempt.positioned = true;
    }
}

// How the extraction ended. False when nothing of the entry is kept: the system failed (no
// temporary file, or one that did not take the bytes), not the data. A method that did not
// run to its end leaves the entry damaged, with what it decoded.
bool judgeEnding(EntryContext& run, QueuedItem& item, const Attempt& attempt,
                 const std::string& tempFailure, bool& damaged) {
    const DecodeResult& extracted = attempt.result;
    const DecodedBytes& decoded = item.decoded;
    const std::string& shown = item.shownName;
    if (extracted.end == DecodeEnd::kOutputFailed && decoded.noFile) {
        // The entry outgrew memory and no temporary file could be made for the rest.
        logAboutName(run, kTextNoTempFile, decoded.path);
        item.verdict = EntryVerdict::kSystemError;
        clearWriteFailed(run.flags);
        return false;
    }
    if (extracted.end == DecodeEnd::kOutputFailed) {
        // The temporary file did not take what was decoded (a full or failing temporary
        // folder): what it holds is not the entry's data, so nothing of it is kept. The system
        // failed, not the data. Only this entry is lost: its file is removed to give the room
        // back and the flag is cleared, so that later entries, which may well fit, are salvaged.
        logTempWriteFailed(run, shown, tempFailure);
        item.verdict = EntryVerdict::kSystemError;
        clearWriteFailed(run.flags);
        return false;
    }
    if (ranToEnd(extracted)) return true;
    // A streamed entry's size is known from its descriptor only.
    const bool sizeKnown = attempt.sizeKnown;
    const uint64_t recordedSize = attempt.recordedSize;
    int64_t salvaged = decodedSize(decoded);
    uint64_t kept = static_cast<uint64_t>(salvaged < 0 ? 0 : salvaged);
    if (extracted.end == DecodeEnd::kNoMemory) {
        // Not the data's fault: counted as a system error, and what was decoded is kept.
        if (sizeKnown) {
            logAboutName(run, kTextNoMemoryForEntry, shown, kept, recordedSize);
        } else {
            logAboutName(run, kTextNoMemorySizeUnknown, shown, kept);
        }
        item.verdict = EntryVerdict::kSystemError;
    } else {
        if (sizeKnown) {
            logAboutName(run, kTextFileCorrupt, shown, kept, recordedSize);
        } else {
            logAboutName(run, kTextFileCorruptSizeUnknown, shown, kept);
        }
        logUnknownRanges(run, shown, item.outcome.unknown);
        noteUnknownInComment(item.entry->metadata, item.outcome.unknown);
        if (salvaged <= 0) {
            item.verdict = EntryVerdict::kUnrecoverable;
        } else {
            item.verdict = EntryVerdict::kPartial;
        }
    }
    damaged = true;
    return true;
}

// The recovered bytes of an entry whose method ran to its end, checked against what is
// recorded of them: any doubt leaves the entry damaged, never called whole. Gives their count.
uint64_t judgeRecoveredBytes(EntryContext& run, QueuedItem& item, const Attempt& attempt,
                             bool aesUnproven, bool& damaged) {
    const std::string& shown = item.shownName;
    const bool sizeKnown = attempt.sizeKnown;
    const uint64_t recordedSize = attempt.recordedSize;
    int64_t size = decodedSize(item.decoded);
    uint64_t recovered = static_cast<uint64_t>(size < 0 ? 0 : size);
    if (!damaged && aesUnproven) {
        // Decoded to the end, but the code does not vouch for the encrypted bytes: damaged
        // data (or a damaged code), never called whole.
        logAboutName(run, kTextAesCodeMismatch, shown, recovered);
        damaged = true;
        item.verdict = EntryVerdict::kPartial;
    }
    if (!damaged && !sizeKnown) {
        // Nothing to check the bytes against: they may be whole, but the log must not say so.
        logAboutName(run, kTextNoDescriptor, shown, recovered);
        damaged = true;
        item.verdict = EntryVerdict::kPartial;
    }
    if (!damaged && recovered != recordedSize) {
        // Other bytes than the recorded ones: the size is all that is wrong only when the
        // CRC-32 still matches (or none is recorded); otherwise the bytes themselves are.
        uint32_t crc = 0;
        if (attempt.crc.known && crcOfDecoded(item.decoded, crc) && crc != attempt.crc.value) {
            logCrcMismatch(run, shown, crc, attempt.crc.value);
        } else {
            logAboutName(run, kTextSizeWarning, shown, recovered, recordedSize);
        }
        damaged = true;
        item.verdict = EntryVerdict::kPartial;
    }
    if (!damaged && !attempt.crc.known) {
        // The size matches, but nothing says the bytes are the entry's: not OK, not whole.
        logAboutName(run, kTextCrcNotRecorded, shown, recovered);
        damaged = true;
        item.verdict = EntryVerdict::kPartial;
    }
    return recovered;
}

}  // namespace

void discardTempFile() {
    std::string folder = runTempFolder();
    if (!folder.empty()) deleteFile((folder + kEntryTempFileName).c_str());
}

bool judgeEntry(EntryContext& run, QueuedItem& item, const EntrySizes& recorded) {
    SalvagedEntry& entry = *item.entry;
    EntryOutcome& outcome = item.outcome;
    LocalHeader& header = entry.header;
    DataRepair repair;
    EntryFacts facts = readEntryFacts(run, entry, recorded, &outcome.unknown, &repair);
    outcome.streamed = facts.streamed;
    item.shownName = shownName(run, entry);

    uint8_t encryptionHeader[kAesMaxHeaderBytes] = {};
    PasswordTurn turn{PasswordRequest{entry.name.c_str(), encryptionHeader, facts.recordedCrc.value,
                                      headerField16(header, kLocalModTime), facts.flags},
                      PasswordSearch{}};
    turn.request.aesStrength = facts.data.aesStrength;
    if (facts.encrypted) {
        const int64_t encryptedStart = logicalPosition(run.reader);
        readUpTo(run.reader, encryptionHeader,
                 static_cast<int64_t>(encryptionHeaderBytes(facts.data, facts.encrypted)));
        if (!nextPassword(run.passwords, turn.request, turn.search)) {
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
    const AttemptInput input{facts.data, facts.streamed,    facts.encrypted, encryptionHeader,
                             dataStart,  facts.recordedCrc, witness};
    Extracted extracted = extractWithPasswords(run, facts, input, turn, decoded);
    decodeAgainIfWrong(run, input, extracted.attempt, decoded);
    if (repair.made) {
        logAboutName(run, kTextFlippedBitRepaired, item.shownName, repair.byteOffset,
                     repair.bitInByte);
    }
    settleAttempt(run, facts, input, extracted, decoded);
    const Attempt& attempt = extracted.attempt;
    outcome.positioned = attempt.positioned;
    // Only the temporary file is written while extracting; its failure's reason is taken
    // before any later call can replace it.
    std::string tempFailure =
        attempt.result.end == DecodeEnd::kOutputFailed ? lastSystemError() : std::string();
    // A password that opened an entry is tried first on the later ones.
    if (facts.encrypted && turn.search.source != PasswordSource::kRemembered) {
        rememberPassword(run.passwords, run.passwords.currentPassword);
    }
    if (attempt.result.end == DecodeEnd::kCancelled) return false;
    bool damaged = false;
    if (attempt.result.end != DecodeEnd::kOutputFailed) {
        outcome.sizeKnown = attempt.sizeKnown;
        outcome.recordedSize = attempt.sizeKnown ? attempt.recordedSize : 0;
        outcome.recordedCrc = attempt.crc.known ? attempt.crc.value : 0;
    }
    if (!judgeEnding(run, item, attempt, tempFailure, damaged)) return false;
    const bool aesUnproven = facts.aes && extracted.code != AesCodeCheck::kMatches;
    uint64_t recovered = judgeRecoveredBytes(run, item, attempt, aesUnproven, damaged);

    if (facts.aes) dropAesField(entry);
    entry.zip64Local = needsZip64(recovered);
    noteOriginalData(item, facts.flags, facts.data.method, dataStart, attempt);
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
