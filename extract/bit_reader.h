// The bit reader every decoder reads its entry's data with: least significant bit first from
// the entry's byte source (RFC 1951 3.1.1; shrink, reduce and implode pack their codes the same
// way, APPNOTE 5.1-5.3). One buffer record and its primitives, filled in one of three ways:
// inflate's reads ahead within the current block and pads with filler past the data; unshrink
// and unreduce read ahead while far from the data's end; explode reads only what it needs.
#pragma once

#include <cstdint>

#include "extract/extract_context.h"

namespace zipsalvage {

// Bits wait in `buffer` from bit 0 up; `count` of them are held. `Word` is as wide as the
// largest refill of the reader that uses it.
template <typename Word>
struct LsbBits {
    Word buffer = 0;
    uint32_t count = 0;
};

// Puts one byte above the bits held.
template <typename Word>
inline void appendByte(LsbBits<Word>& bits, uint16_t byte) {
    bits.buffer |= static_cast<Word>(byte) << bits.count;
    bits.count += 8;
}

// The next `count` (at most 31; the decoders take at most 16) bits, without taking them.
template <typename Word>
inline uint32_t peekBits(const LsbBits<Word>& bits, uint32_t count) {
    return static_cast<uint32_t>(bits.buffer) & ((uint32_t{1} << count) - 1);
}

template <typename Word>
inline void dropBits(LsbBits<Word>& bits, uint32_t count) {
    bits.buffer >>= count;
    bits.count -= count;
}

// ---- inflate's reader (deflate and Deflate64) ----
//
// Copied into locals by each block routine and written back to the work area when it ends.
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
struct InflateBits : LsbBits<uint64_t> {
    uint32_t fillerBits = 0;
    uint16_t inByte = 0;  // readEntryByte's destination; keeps its value when no byte comes
};

// True when the bits dropped so far reach into filler.
inline bool usedFiller(const InflateBits& bits) { return bits.count < bits.fillerBits; }

// Takes one byte from readEntryByte, whatever it delivered. The byte goes through a local so
// that the reader's own address never escapes (the refill is out of line) and the compiler can
// keep the whole reader in registers.
inline void pullByte(InflateBits& bits, ExtractContext& context) {
    uint16_t byte = bits.inByte;
    if (readEntryByte(context, byte) == kNoByte) bits.fillerBits += 8;
    bits.inByte = byte;
    appendByte(bits, byte);
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

// ---- the reader of the PKZIP 1.x methods (unshrink, unreduce, explode) ----
//
// These methods stop at the first bit the data cannot supply, so no filler ever enters the
// buffer; explode fills it only as far as each code needs, unshrink and unreduce read ahead
// while the data's end is far (see refillBits).
struct LegacyBits : LsbBits<uint32_t> {
    bool archiveEnded = false;  // a read ahead failed: the next refill reports it
};

// Explode's filling, and unshrink's and unreduce's near the data's end: reads single bytes
// until at least `wanted` (at most 24) bits are held, never a byte more; false when readEntryByte
// delivers none (the data and its 10-byte allowance are used up, or the archive cannot supply
// them).
inline bool needBitsExactly(ExtractContext& context, uint16_t& inByte, LegacyBits& bits,
                            uint32_t wanted) {
    while (bits.count < wanted) {
        if (readEntryByte(context, inByte) == kNoByte) return false;
        appendByte(bits, inByte);
    }
    return true;
}

enum class BitsRead {
    kTaken,        // `value` holds the bits
    kDataUsedUp,   // the entry's data cannot supply them: the regular end of these methods
    kArchiveEnded  // the archive could not supply a block of the data (a truncated archive)
};

// Makes at least `count` (1 to 16) bits held without reading past the entry's recorded data;
// the slow half of takeBits.
BitsRead refillBits(DecoderState& state, LegacyBits& bits, uint32_t count);

// Takes `count` (1 to 16) bits from the low end of the buffer (unshrink and unreduce).
inline BitsRead takeBits(DecoderState& state, LegacyBits& bits, uint32_t count, uint32_t& value) {
    if (bits.count < count) {
        BitsRead read = refillBits(state, bits, count);
        if (read != BitsRead::kTaken) return read;
    }
    value = peekBits(bits, count);
    dropBits(bits, count);
    return BitsRead::kTaken;
}

}  // namespace zipsalvage
