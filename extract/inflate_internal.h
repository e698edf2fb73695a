// Shared by the inflate block routines: block results, the bit reader and the table owner.
#pragma once

#include <cstdint>

#include "extract/extract_context.h"
#include "extract/inflate_tables.h"
#include "huffman/huffman_tables.h"

namespace zipsalvage {

// Result of one block routine; any non-zero value fails the whole stream.
enum InflateBlockResult : int {
    kBlockOk = 0,
    kBlockBadData = 1,     // invalid code, LEN/NLEN mismatch, incomplete code, data ran out
    kBlockBadLengths = 2,  // over-subscribed code lengths, or block type 3
    kBlockNoMemory = 3,
};

// The bit reader, copied into locals by each routine and written back to the DecoderState when
// it ends. Bits leave from the least significant end (RFC 1951 3.1.1).
//
// Why the reader may hold more bits than asked for without changing what is read: it reads
// ahead only bytes already sitting in the context's current block. Such reads can never fail,
// never touch the archive and never reach past the data, so every read that can fail (a refill,
// or one of the 10 bytes past the data) happens at the very request that needs it, and the
// archive reader ends where strictly lazy reading would leave it.
//
// Bytes readEntryByte could not deliver still go into the buffer (as 0 or the last byte again),
// so that reading always ends; `fillerBits` counts them, from the top of the buffer. Once one
// read has failed every later one fails too, so the filler always lies above the real bits, and
// a symbol that leaves `count` below `fillerBits` was made of filler and is not kept.
//
// The bits above `count` are either 0 or the bits of the next bytes of the block, each in its
// place: the fast loop's word refill loads 8 bytes and counts only the whole bytes that fit.
// Putting one of those bytes in again (pullByte) ORs in the same bits, so it changes nothing;
// only a routine that takes bytes past the reader (a stored block) must clear them first.
struct InflateBits {
    uint64_t buffer;
    uint32_t count;
    uint32_t fillerBits;
    uint16_t inByte;  // readEntryByte's destination; keeps its value when no byte comes
};

// The farthest a match can reach back in either format (Deflate64's).
inline constexpr uint32_t kInflateLongestDistance = kDeflate64WindowBytes;
// How far the fast match copy may store past a match's end: it moves 8 bytes per step.
inline constexpr uint32_t kCopyOverrunBytes = 7;
// The window is a ring a little larger than the farthest distance. A byte within
// kCopyOverrunBytes after the write position lies more than kInflateLongestDistance back, so
// no match can need it before it is written again: overrunning stores there destroy nothing.
inline constexpr uint32_t kInflateRingBytes = kInflateLongestDistance + kCopyOverrunBytes + 1;

// What tells deflate and Deflate64 apart: the window and the base and extra-bits tables.
struct InflateFormat {
    uint32_t longestDistance;
    const uint16_t* lengthBase;
    const uint16_t* lengthExtraBits;
    const uint16_t* distanceBase;
    const uint16_t* distanceExtraBits;
    int fixedDistanceCodes;
};

inline constexpr InflateFormat kDeflateFormat = {
    kDeflateWindowBytes,         kInflateLengthBase.data(),        kInflateLengthExtraBits.data(),
    kInflateDistanceBase.data(), kInflateDistanceExtraBits.data(), kDeflateFixedDistanceCodes};
inline constexpr InflateFormat kDeflate64Format = {kDeflate64WindowBytes,
                                                   kDeflate64LengthBase.data(),
                                                   kDeflate64LengthExtraBits.data(),
                                                   kDeflate64DistanceBase.data(),
                                                   kDeflate64DistanceExtraBits.data(),
                                                   kDeflate64FixedDistanceCodes};

// inflate's work area: the DecoderState of every method (its own `window` unused), the ring
// window, and the filler count of its reader.
struct InflateWork {
    DecoderState state;
    uint32_t fillerBits;
    const InflateFormat* format;
    // The fixed code's tables (RFC 1951 3.2.6), built at the stream's first fixed block and kept
    // to its end: a fixed block can be 10 bits long, and building the tables again for each one
    // would make a stream of empty blocks cost a table build per byte or so.
    HuffTable* fixedLitLen;
    int fixedLitLenBits;
    HuffTable* fixedDistance;
    int fixedDistanceBits;
    uint64_t bitBuffer;  // wider than the DecoderState's, for the word refill
    uint8_t window[kInflateRingBytes];
};

inline InflateBits loadBits(const InflateWork& work) {
    return InflateBits{work.bitBuffer, work.state.bitCount, work.fillerBits, work.state.inByte};
}

inline void storeBits(InflateWork& work, const InflateBits& bits) {
    work.bitBuffer = bits.buffer;
    work.state.bitCount = bits.count;
    work.fillerBits = bits.fillerBits;
    work.state.inByte = bits.inByte;
}

// True when the bits dropped so far reach into filler.
inline bool usedFiller(const InflateBits& bits) { return bits.count < bits.fillerBits; }

// Takes one byte from readEntryByte, whatever it delivered. The byte goes through a local so
// that the reader's own address never escapes (the refill is out of line) and the compiler can keep
// the whole reader in registers.
inline void pullByte(InflateBits& bits, ExtractContext& context) {
    uint16_t byte = bits.inByte;
    if (readEntryByte(context, byte) == kNoByte) bits.fillerBits += 8;
    bits.inByte = byte;
    bits.buffer |= static_cast<uint64_t>(byte) << bits.count;
    bits.count += 8;
}

// Tops the buffer up to at least 25 bits with bytes already in the current block, as far as
// it holds them.
inline void topUpBits(InflateBits& bits, ExtractContext& context) {
    while (bits.count <= 24 && context.blockPos < context.blockFill) pullByte(bits, context);
}

// The slow half of needBits: tops up from the block, then reads byte by byte (refilling the
// block, or past the data) until `wanted` bits are held. Out of line, and by value so that the
// caller's reader stays in registers.
InflateBits pullBitsSlow(InflateBits bits, ExtractContext& context, uint32_t wanted);

// Makes sure at least `wanted` (<= 16) bits are held.
inline void needBits(InflateBits& bits, ExtractContext& context, uint32_t wanted) {
    if (bits.count < wanted) bits = pullBitsSlow(bits, context, wanted);
}

inline void dropBits(InflateBits& bits, uint32_t count) {
    bits.buffer >>= count;
    bits.count -= count;
}

inline uint32_t peekBits(const InflateBits& bits, uint32_t count) {
    return static_cast<uint32_t>(bits.buffer) & lowBitMask(count);
}

// Owns the tables of one build until the routine that made them ends.
struct OwnedTables {
    HuffTable* root = nullptr;
    int lookupBits = 0;
    OwnedTables() = default;
    ~OwnedTables() { freeHuffTables(root); }
    OwnedTables(const OwnedTables&) = delete;
    OwnedTables& operator=(const OwnedTables&) = delete;
};

// Puts the window out when it is full and starts it again at 0.
inline void flushFullWindow(InflateWork& work, uint32_t& windowPos) {
    if (windowPos == kInflateRingBytes) {
        flushWindowBytes(work.state, work.window, kInflateRingBytes);
        windowPos = 0;
    }
}

// The block routines. Each loads the bit reader and window position from `work` and stores
// them back when it ends (the window position also when it fails, so that the caller can put
// out what the failing block decoded).
int copyStoredBlock(InflateWork& work);
int decodeFixedBlock(InflateWork& work);
int decodeDynamicBlock(InflateWork& work);
int decodeSymbols(InflateWork& work, const HuffTable* litLenTable, int litLenBits,
                  const HuffTable* distanceTable, int distanceBits);

}  // namespace zipsalvage
