// Shared by the inflate block routines: block results, the formats and the work area.
#pragma once

#include <cstdint>

#include "extract/bit_reader.h"
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
// window, and the filler count of its reader. Made in a block of its own (newBlock), which
// leaves the window and the state uninitialised; the owners of the fixed tables start empty.
struct InflateWork {
    DecoderState state;
    uint32_t fillerBits;
    const InflateFormat* format;
    // The fixed code's tables (RFC 1951 3.2.6), built at the stream's first fixed block and kept
    // to its end: a fixed block can be 10 bits long, and building the tables again for each one
    // would make a stream of empty blocks cost a table build per byte or so.
    DecodingTables fixedLitLen;
    DecodingTables fixedDistance;
    uint64_t bitBuffer;  // wider than the DecoderState's, for the word refill
    uint8_t window[kInflateRingBytes];
};

inline InflateBits loadBits(const InflateWork& work) {
    return InflateBits{{work.bitBuffer, work.state.bitCount}, work.fillerBits, work.state.inByte};
}

inline void storeBits(InflateWork& work, const InflateBits& bits) {
    work.bitBuffer = bits.buffer;
    work.state.bitCount = bits.count;
    work.fillerBits = bits.fillerBits;
    work.state.inByte = bits.inByte;
}

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
