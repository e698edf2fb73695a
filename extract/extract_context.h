// What every decompression method stands on: the per-entry context, the per-method work area,
// the input byte source with its 10-byte allowance, and the output window writes.
#pragma once

#include <cstdint>
#include <vector>

#include "core/memory_blocks.h"
#include "core/run_flags.h"
#include "extract/cipher.h"
#include "extract/decode_result.h"
#include "extract/unknown_ranges.h"
#include "platform/platform.h"

namespace zipsalvage {

inline constexpr int kEntryBlockBytes = 1024;
inline constexpr int kDataAllowanceBytes = 10;  // bytes a method may read past its data
inline constexpr uint32_t kWindowBytes = 32768;
// The largest data length a context counts with; the allowance still fits above it.
inline constexpr int64_t kLargestDataLength = INT64_MAX / 2;

// Where an entry's compressed bytes come from: the archive reader of the salvage engine, or a
// memory buffer in tests. `readExact` succeeds only when all `count` bytes were delivered.
struct EntryByteSource {
    void* owner;
    bool (*readExact)(void* owner, uint8_t* destination, int32_t count);
    // Delivers up to `count` bytes and says how many (0 at the archive's end). Needed by data
    // of unknown length, which may end with the archive; nullptr where none is offered.
    int32_t (*readUpTo)(void* owner, uint8_t* destination, int32_t count);
};

// Where an entry's decoded bytes go: a file (written with writeFileAt), or a holder of the
// engine's that keeps small entries in memory. `writeAt` stores `count` bytes at `position`
// and says how many it took; fewer than `count` is a failed write.
struct EntryOutput {
    void* owner;
    uint32_t (*writeAt)(void* owner, int64_t position, const uint8_t* bytes, uint32_t count);
    // Cuts what was written back to `size` bytes (a decoder that replaces what it wrote with
    // less); false when it cannot. Null where the output offers no cut.
    bool (*truncateAt)(void* owner, uint64_t size);
};

// The output that writes to `file` at the given offsets.
EntryOutput fileOutput(FileHandle file);

// A repair a decoder made to an entry's data, proven by its recorded size and CRC-32: the
// flipped bit, counted from the first bit of the data behind any encryption header.
struct DataRepair {
    bool made = false;
    uint64_t byteOffset = 0;
    uint32_t bitInByte = 0;
};

struct ExtractContext {
    bool outputEnabled;
    EntryOutput output;
    uint8_t block[kEntryBlockBytes];
    int32_t blockFill;
    int32_t blockPos;
    uint64_t delivered;
    uint64_t uncompressedSize;
    // The compressed size, less the encryption header: negative for a damaged encrypted entry
    // whose recorded size is below 12.
    int64_t dataLength;
    // dataLength plus the 10-byte allowance, never below 0: readEntryByte delivers nothing
    // once `delivered` reaches it.
    uint64_t readLimit;
    bool encrypted;
    CipherKeys keys;
    char password[kPasswordBufferBytes];
    bool endOfData;  // set whenever a byte could not be delivered; never cleared
    // The data's length is not recorded (a streamed entry): it is read in whole blocks as far
    // as the archive goes, and the method's own end marks where it ends.
    bool lengthUnknown;
    // A block the archive cannot fill whole is still delivered as far as it goes (the methods
    // of outside libraries, which decode every byte they are given up to a cut).
    bool takeShortBlock;
    // Decrypts each block as it is read (WinZip AES, a counter mode); null otherwise.
    void (*decryptBlock)(void* owner, uint8_t* bytes, uint32_t count);
    void* decryptOwner;
    // The encryption header in front of the data that the compressed size counts: 12 for
    // traditional encryption, the salt and password verifier for AES, 0 without encryption.
    uint32_t encryptionHeaderBytes;
    // Where a decoder lists the spans of its output it could not decode (written as zeros);
    // null where nobody asks.
    UnknownRanges* unknown;
    // Where each block of the entry's data is appended as it is read, for a decoder that may
    // go over the data again; null otherwise.
    std::vector<uint8_t>* heldData;
    // The recorded CRC-32, for a decoder that can prove a repair with it; `knownDamaged`: the
    // caller found the bytes of an earlier decoding wrong (their CRC-32), though the method
    // ran to its end.
    uint32_t recordedCrc;
    int crcKnown;
    int knownDamaged;
    DataRepair* repair;  // where a repair is noted; null: none may be made
    EntryByteSource source;
    RunFlags* flags;
};

// The work area of one method call. Only `window` is large; the tables are separate blocks.
struct DecoderState {
    ExtractContext* context;
    uint16_t* prefixCodes;
    uint8_t* suffixBytes;
    uint8_t* scratch;
    uint64_t outputPos;  // bytes already written, and the file offset of the next flushWindow
    uint32_t windowFill;
    uint32_t bitBuffer;
    uint32_t bitCount;
    uint16_t inByte;
    uint8_t window[kWindowBytes];
};

enum : uint16_t { kNoByte = 0, kByteDelivered = 8 };

// Refills the context's block from the source; the slow half of readEntryByte.
uint16_t refillEntryBlock(ExtractContext& context, uint16_t& destination);

// Delivers the entry's next byte (decrypted when the entry is encrypted) into `destination`.
// Bytes come in blocks of up to 1024 that never reach past dataLength; past the data, up to 10
// single bytes of whatever follows; a block the archive ends inside arrives as far as it goes.
// Returns kByteDelivered, or kNoByte with endOfData set (destination unchanged once the
// allowance is used up; 0 when the archive holds no more).
inline uint16_t readEntryByte(ExtractContext& context, uint16_t& destination) {
    if (context.delivered >= context.readLimit) {
        context.endOfData = true;
        return kNoByte;
    }
    if (context.blockPos >= context.blockFill) return refillEntryBlock(context, destination);
    uint8_t byte = context.block[context.blockPos];
    if (context.encrypted) byte = decryptByte(context.keys, byte);
    destination = byte;
    ++context.blockPos;
    ++context.delivered;
    return kByteDelivered;
}

// Delivers up to `count` bytes that are already in the block (decrypted as readEntryByte
// would), without refilling; returns how many. Never reaches past the 10-byte allowance.
int32_t takeBlockBytes(ExtractContext& context, uint8_t* destination, int32_t count);

// True when `bitsNeeded` bits cannot be had from `bitsHeld` plus the data not yet delivered
// (the 10-byte allowance does not count).
bool outOfBits(const DecoderState& state, int32_t bitsHeld, int32_t bitsNeeded);

// Writes `count` bytes at offset `position` of the output; sets writeFailed when short.
uint32_t writeOutputAt(ExtractContext& context, const uint8_t* bytes, int64_t position,
                       uint32_t count);

// Writes the first `count` window bytes at outputPos and advances outputPos either way.
uint32_t flushWindow(DecoderState& state, uint32_t count);
// The same for a method whose window is its own (inflate's is larger than `window`).
uint32_t flushWindowBytes(DecoderState& state, const uint8_t* bytes, uint32_t count);

// Sets up a context as extractEntry does: output enabled, sizes, password and keys (the
// 12-byte header is run through decryption and dataLength reduced by 12 when encrypted).
void initExtractContext(ExtractContext& context, const EntryOutput& output, uint64_t compressedSize,
                        uint64_t uncompressedSize, bool encrypted, const char* password,
                        const uint8_t* encryptionHeader, const EntryByteSource& source,
                        RunFlags& flags);
// The same with a file as the output.
void initExtractContext(ExtractContext& context, FileHandle output, uint64_t compressedSize,
                        uint64_t uncompressedSize, bool encrypted, const char* password,
                        const uint8_t* encryptionHeader, const EntryByteSource& source,
                        RunFlags& flags);

// True for the methods extractEntry decodes; entries in any other method are not handed to it.
// WinZip AES (99) counts where libgcrypt was built in; an AES entry is decoded when the method
// under the encryption decodes too.
bool decodesMethod(uint16_t method);
// True for the methods this program knows but cannot decode here (its library was not built
// in, or, for PPMd, no decoder exists): they are copied unchecked, and the log says so.
bool knownButNotBuiltIn(uint16_t method);
// True when the method's data marks its own end, so that a streamed entry (flag bit 3) is
// decoded to that end and its descriptor looked for right behind it.
bool methodEndsItself(uint16_t method, uint16_t generalFlags);

// What extraction needs of an entry's record.
struct EntryData {
    uint16_t method = 0;
    uint16_t generalFlags = 0;
    uint64_t compressedSize = 0;  // as recorded: the encryption header included
    uint64_t uncompressedSize = 0;
    bool lengthUnknown = false;  // read until the method's own end (see methodEndsItself)
    // WinZip AES key strength (1 to 3), 0 when the entry is not AES-encrypted. With it, the
    // encryption header is the salt and verifier, and `method` is the one under the
    // encryption.
    uint8_t aesStrength = 0;
    // Filled with the spans of the output that are zeros standing for bytes not decoded (a
    // bzip2 block lost between two that decoded); emptied first. Null: not asked for.
    UnknownRanges* unknown = nullptr;
    // The recorded CRC-32 (a deflated entry's flipped bit is repaired only against it), and
    // that an earlier decoding's bytes did not match it.
    uint32_t crc32 = 0;
    bool crcKnown = false;
    bool knownDamaged = false;
    DataRepair* repair = nullptr;
};

// Runs the entry's method and says how it ended.
DecodeResult extractEntryData(const EntryData& entry, const EntryOutput& output, bool encrypted,
                              const char* password, const uint8_t* encryptionHeader,
                              const EntryByteSource& source, RunFlags& flags);
// The same with a file as the output.
DecodeResult extractEntryData(const EntryData& entry, FileHandle output, bool encrypted,
                              const char* password, const uint8_t* encryptionHeader,
                              const EntryByteSource& source, RunFlags& flags);

// The sizes an entry's headers record, 64-bit: the local header's own fields, or the Zip64
// extended information extra field's where those hold 0xFFFFFFFF (APPNOTE 4.5.3).
struct RecordedSizes {
    uint64_t compressed;
    uint64_t uncompressed;
};

// The same for the method and flags of a 30-byte local header image and the sizes `sizes`.
DecodeResult extractEntry(const uint8_t* header, const RecordedSizes& sizes, FileHandle output,
                          bool encrypted, const char* password, const uint8_t* encryptionHeader,
                          const EntryByteSource& source, RunFlags& flags);

}  // namespace zipsalvage
