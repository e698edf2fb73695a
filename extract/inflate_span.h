// A deflate decoder over an entry's compressed bytes held whole in memory, for the search
// behind damage: it starts at any bit, inside a Huffman block with known codes or at a block
// header, stops before a given bit, records where each symbol starts, and marks every output
// byte it cannot vouch for. Slower than inflate's streaming loop, and run only on damaged
// entries.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace zipsalvage {

struct NearestIndex;

// A canonical Huffman code (RFC 1951 3.2.2) as one lookup table indexed by the next
// `widthBits` bits of the stream: entry = symbol << 4 | code length, 0 for no code. Symbols are
// below 2^12, so an entry fits 16 bits: half the table of a 15-bit code stays in the cache.
struct SpanCode {
    std::vector<uint16_t> table;
    uint32_t widthBits = 0;
};

// The two codes of a Huffman block (RFC 1951 3.2.5); no distance code where all its lengths
// are zero.
struct SpanCodes {
    SpanCode litLen;
    SpanCode distance;
    bool hasDistance = false;
};

// The codes of every fixed block (RFC 1951 3.2.6), built once.
const std::shared_ptr<const SpanCodes>& fixedCodes();

// Builds `code` from `count` lengths; false when they are over-subscribed, all zero, or (with
// `complete`) do not fill the code space. A code of one symbol of length 1 counts as complete
// (RFC 1951 3.2.7 allows a single distance code).
bool buildSpanCode(const uint8_t* lengths, int count, bool complete, SpanCode& code);

// Where a symbol or block header starts in the stream, how many bytes came before it, and the
// state decoding is in there (`blockBit`): at a header (kSpanAtHeader), at a symbol of a fixed
// block (kSpanFixedBlock, kSpanFixedLastBlock: every fixed header gives the same codes), or at
// a symbol of the dynamic block whose header began at `blockBit` (the same header bits give
// the same codes and BFINAL).
inline constexpr uint64_t kSpanAtHeader = UINT64_MAX;
inline constexpr uint64_t kSpanFixedBlock = UINT64_MAX - 1;
inline constexpr uint64_t kSpanFixedLastBlock = UINT64_MAX - 2;
struct SpanVisit {
    uint64_t bit;
    uint64_t output;
    uint64_t blockBit;
};

enum class SpanStop : uint8_t {
    kStreamEnd,  // the block with BFINAL ended
    kBadData,    // an invalid code, header or stored length
    kRanOut,     // the data ended inside a symbol or header
    kLimit,      // the next symbol or header reaches `stopBit`
    kMerged,     // reached a bit in `mergeWith` in the same state (header, or the same block)
    kTooLong,    // the output would pass `outputLimit`
    kWorkSpent,  // `symbolBudget` used up
};

struct SpanDecoder {
    const uint8_t* data = nullptr;
    uint64_t dataBytes = 0;
    bool deflate64 = false;
    bool strictCodes = false;  // incomplete codes are bad data (for headers found by search)
    uint64_t bit = 0;
    bool atHeader = true;  // the next bits are a block header; else symbols of `codes`
    bool lastBlock = false;
    bool ended = false;  // the block with BFINAL has ended
    std::shared_ptr<const SpanCodes> codes;
    uint64_t outputPos = 0;
    uint64_t outputLimit = UINT64_MAX;
    // Output before this offset is written unknown (zeros, marked) whatever decodes there: the
    // first bytes behind a resynchronisation point, which may still be the damage's.
    uint64_t distrustedUntil = 0;
    // Where bytes go (both null: only counted). `marks` holds 1 for an unknown byte; a copy
    // from an unknown byte, or from before the first byte, gives an unknown byte.
    std::vector<uint8_t>* bytes = nullptr;
    std::vector<uint8_t>* marks = nullptr;
    uint64_t stopBit = UINT64_MAX;
    std::vector<SpanVisit>* visits = nullptr;           // every symbol and header start
    const std::vector<SpanVisit>* mergeWith = nullptr;  // sorted by bit
    uint64_t mergedAt = 0;                              // index into mergeWith at kMerged
    // Where the last look-up into mergeWith ended: decoding moves forward, so the next one is
    // mostly a step or two on (any value is safe; it is checked before use).
    uint64_t mergeCursor = 0;
    uint64_t symbolBudget = UINT64_MAX;
    uint64_t blockStartBit = 0;  // where the last header read began
    // Writers that search for the longest match (zlib, Info-ZIP) never end a match shorter
    // than 258 where the next byte would have extended it: with `checkLongest` set (and bytes
    // kept), the first symbol that breaks this is noted, as a sign of damage before it.
    bool checkLongest = false;
    bool checkLiteralsOnly = false;  // only a literal after a match is checked
    uint64_t brokenAtBit = UINT64_MAX;
    // The output the first noted sign was read against: the byte after a match's source, or
    // the nearer position that holds its bytes.
    uint64_t brokenFrom = 0;
    uint32_t lastDistance = 0;      // of the match that ended at outputPos, 0 after a literal
    uint32_t lastCopyDistance = 0;  // of the last match decoded, whatever its length
    // With an index (and bytes kept), a match that a nearer position could have given is noted
    // in `brokenAtBit` too (see inflate_nearest.h).
    NearestIndex* nearest = nullptr;
};

// Decodes until one of the stops; the decoder then stands before the symbol or header that
// stopped it (kLimit, kMerged), or after the stream's last block (kStreamEnd).
SpanStop runSpan(SpanDecoder& decoder);

// The byte the stream ends in (after kStreamEnd): the last bit used, rounded up.
inline uint64_t spanEndByte(const SpanDecoder& decoder) { return (decoder.bit + 7) / 8; }

}  // namespace zipsalvage
