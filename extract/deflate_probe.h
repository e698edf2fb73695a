// A strict walk of a deflate stream held in memory (RFC 1951), for the search that undoes a
// text-mode transfer: it says where a stream stops reading as its encoder wrote it, and it can be
// rewound to any earlier point, so a guess about one byte costs only the decoding after it.
//
// inflate (huffman_decoders.h) is lenient on purpose, so that damaged data still yields bytes;
// deflate data resynchronises within a few symbols after a lost byte, so inflate runs on to the
// end with wrong bytes. The probe refuses what zlib's inflate refuses (codes that are incomplete
// or over-subscribed, distances before the first byte, symbols RFC 1951 never uses) and, with
// the zlib-style rules, what the encoders of zlib and Info-ZIP never write: a match that could
// have been one byte longer at the same distance (their match finder compares to the first
// difference), and a block other than the last whose symbol count is not what their symbol
// buffers hold when full (zlib: 16383, or 32767 with a larger memory level; Info-ZIP: a multiple
// of 4096, or 32767). A lost byte breaks one of these within a few dozen bytes as a rule, and
// at its block's end nearly always.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "huffman/huffman_tables.h"

namespace zipsalvage {

enum class ProbeRules : uint8_t {
    kFormat,     // what zlib's inflate accepts
    kZlibStyle,  // and only maximal matches and full symbol buffers, as zlib and Info-ZIP write
};

enum class ProbeStop : uint8_t {
    kEnded,     // the final block ended: see the probe's bitPos and output
    kBroken,    // the stream broke a rule at brokenAtBit (also: it ran past the input, or its
                // output past the limit)
    kPaused,    // reached the bit position asked for
    kNoMemory,  // a decoding table could not be had
};

// A point the walk can be resumed from, at a symbol boundary.
struct ProbeSpot {
    uint64_t bitPos = 0;
    uint64_t outputSize = 0;
    uint32_t blockCount = 0;     // blocks begun; the last of them is the current one
    uint32_t storedLeft = 0;     // bytes left of a stored block
    uint32_t matchDistance = 0;  // the distance of a match that just ended, else 0
    uint32_t blockSymbols = 0;   // literals and matches of the current Huffman block so far
    uint64_t blockStart = 0;     // the bit position of the current block's header
    // The last stored block begun: where its bytes start in the input and the output, and how
    // many. A byte lost in one shows only after it, and nothing inside can tell where.
    uint64_t storedInputAt = 0;
    uint64_t storedOutputAt = 0;
    uint32_t storedLength = 0;
    uint8_t phase = 0;        // between blocks, in a stored block, in a Huffman block
    bool finalBlock = false;  // the current (or last) block is the final one
};

// One block's header as read, with its tables (Huffman blocks).
struct ProbeBlock {
    bool fixedCode = false;
    DecodingTables litLen;
    DecodingTables distance;
};

struct DeflateProbe {
    // The stream. `input` must hold kProbeInputPadding readable bytes past `inputSize` (their
    // values do not matter: a symbol that takes bits from them breaks the stream).
    const uint8_t* input = nullptr;
    size_t inputSize = 0;
    ProbeRules rules = ProbeRules::kZlibStyle;
    uint64_t outputLimit = 0;  // more output than this breaks the stream

    std::vector<uint8_t> output;
    std::vector<ProbeBlock> blocks;
    ProbeBlock fixedTables;  // built at the first fixed block
    ProbeSpot spot;
    uint64_t brokenAtBit = 0;
    // Set when the break was a block's symbol count: the lost byte may lie anywhere in the
    // block, whose header starts at brokenBlockStart.
    bool brokenByCount = false;
    uint64_t brokenBlockStart = 0;
    // Resumable points, ascending, about every kProbeMarkSpacing input bytes.
    std::vector<ProbeSpot> marks;
    // Bytes decoded and input bytes walked since startProbe, rewinds included: the cost.
    uint64_t work = 0;
};

inline constexpr uint64_t kProbeMarkSpacing = 256;
inline constexpr size_t kProbeInputPadding = 16;

// Starts a walk from the stream's first bit.
void startProbe(DeflateProbe& probe, const uint8_t* input, size_t inputSize, ProbeRules rules,
                uint64_t outputLimit);

// Walks on until the stream ends, breaks a rule, or reaches `pauseAtBit` (at the first symbol
// boundary at or past it).
ProbeStop runProbe(DeflateProbe& probe, uint64_t pauseAtBit);

// Goes back to the latest point that depends only on input bytes before `byteOffset`, so the
// bytes from there on may change (the input pointer and size may be replaced too). The output
// and tables after that point are dropped.
void rewindProbe(DeflateProbe& probe, uint64_t byteOffset);

// Starts a walk (after startProbe) at a point of another walk over input that is the same up to
// it, whose output up to it is `outputBefore`. The point becomes the walk's first mark.
ProbeStop resumeProbe(DeflateProbe& probe, const ProbeSpot& at, const uint8_t* outputBefore);

// The input bytes the stream used when it ended: up to the byte holding its last bit.
inline uint64_t probeConsumedBytes(const DeflateProbe& probe) {
    return (probe.spot.bitPos + 7) / 8;
}

}  // namespace zipsalvage
