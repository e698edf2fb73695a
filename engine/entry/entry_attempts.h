// One extraction of a found entry's data with the password in hand: by its local header and
// data descriptor, and again by its directory record where that records other sizes.
#pragma once

#include <cstdint>

#include "engine/entry/decoded_bytes.h"
#include "engine/state/run_state.h"
#include "extract/data_descriptor.h"
#include "extract/extract_context.h"
#include "extract/winzip_aes.h"

namespace zipsalvage {

struct CentralRecord;

struct RecordedCrc {
    uint32_t value;
    bool known;  // false: the header does not record it
};

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

// What an entry's data is read by: the found entry's facts for the decoders, and what its
// bytes are checked against.
struct AttemptInput {
    const EntryData& data;
    bool streamed;  // its sizes follow its data, in a data descriptor (or must be searched for)
    bool encrypted;
    const uint8_t* encryptionHeader;  // the encryption header's bytes, read in front of the data
    int64_t dataStart;                // where the data begins, behind the encryption header
    RecordedCrc headerCrc;            // what the local header records
    const CentralRecord* witness;     // the directory's record of the entry, or null
};

// Endings the data decides; a system failure or a cancel says nothing about a password.
bool judgedByData(const DecodeResult& result);

// True when the decoded bytes are shown to be the entry's: the method ran to its end and,
// where a CRC-32 is recorded, they match it.
bool outputMatches(const DecodeResult& result, DecodedBytes& decoded, const RecordedCrc& recorded);

// The local header records no sizes: a streaming writer sets flag bit 3 and leaves them 0
// (APPNOTE 4.4.4), or 0xFFFFFFFF when the entry may need Zip64 (zeros in its Zip64 field).
bool sizesMissing(const EntrySizes& recorded);

// The bytes of the encryption header in front of the data: traditional encryption's 12, or
// WinZip AES's salt and password verifier.
uint64_t encryptionHeaderBytes(const EntryData& entry, bool encrypted);

// The bytes behind the data that the compressed size counts: AES's authentication code.
uint64_t encryptionTrailerBytes(const EntryData& entry, bool encrypted);

// Extracts the entry with the current password, by its local header (and descriptor) first.
// When that does not give intact bytes and the archive's directory has a record for this
// header with other sizes, the entry is read again by the record; the record's reading is kept
// only when its bytes are intact, so a damaged directory never costs what the local data gave.
Attempt extractAttempt(EntryContext& run, const AttemptInput& input, DecodedBytes& decoded);

// Checks an AES entry's authentication code over the data the attempt read, the reader put back
// where it stood. Where the data's end is not known, the code cannot be found.
AesCodeCheck checkAttemptCode(EntryContext& run, const AttemptInput& input, const Attempt& attempt);

// A deflated entry that decoded to its recorded size but not to its CRC-32 holds damage the
// stream itself did not show (a flipped bit, a zeroed span decoded as codes): it is decoded
// again, known damaged, so that a flipped bit is repaired or the data behind the damage is
// recovered at its offsets.
void decodeAgainIfWrong(EntryContext& run, const AttemptInput& input, Attempt& attempt,
                        DecodedBytes& decoded);

}  // namespace zipsalvage
