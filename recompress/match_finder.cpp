// The match finder and compression loop: a 64 KiB sliding window, hash chains over 3-byte
// strings, and a greedy choice at each position between a literal and the longest match.
//
// Why it is fast: the hash of the next 3 bytes is rolled forward one byte at a time; heads and
// chain links are 16-bit window indexes in two 32768-entry tables; a candidate is rejected on
// three single-byte compares before any long compare; commonLength compares 8 bytes per step
// with one XOR and a count of trailing zeros; input arrives a buffer at a time, not a byte.
// What it assumes: the window has kWindowSpareBytes readable bytes past its end (zeroed), so
// the 8-byte compares may read past the data. Chains are cut at kChainLimit candidates and at
// kMaxDistance (32506) back; the salvaged archives' bytes depend on those cuts and on the
// greedy choice, so changing one changes every output.
#include <bit>
#include <cstring>

#include "recompress/deflate_state.h"

namespace zipsalvage {
namespace {

// Reads up to `room` bytes into `target`: what a streamReadByte per byte would do, a buffer at
// a time. The CRC-32 is brought up to date after each piece, so the stream ends in the same
// state. (Byte by byte, the CRC-32's chain of dependent lookups alone took about a seventh of
// the encoder's time; the word-wise crc32Update takes a fraction of that.)
uint32_t readInput(RecompressStream& stream, uint8_t* target, uint32_t room) {
    uint32_t got = 0;
    while (got < room) {
        if (stream.inPos >= stream.inFill && !refillStreamInput(stream)) break;
        uint32_t piece = static_cast<uint32_t>(stream.inFill - stream.inPos);
        if (piece > room - got) piece = room - got;
        const uint8_t* source = stream.inBuffer + stream.inPos;
        std::memcpy(target + got, source, piece);
        stream.crcRegister = crc32Update(stream.crcRegister, source, piece);
        stream.crc = stream.crcRegister ^ 0xFFFFFFFFu;
        stream.inPos += static_cast<int32_t>(piece);
        got += piece;
    }
    return got;
}

// Enters the string at position into its hash chain; returns the previous head of the chain.
// Folding in only the third byte keeps the hash rolling: the shift pushes the first byte of
// the previous string out of the 15 bits.
inline uint32_t insertString(DeflateState& state) {
    uint32_t position = state.position;
    state.hash = ((state.hash << kHashShift) ^ state.window[position + 2]) & kHashMask;
    uint32_t candidate = state.hashHeads[state.hash];
    state.chainLinks[position & kChainMask] = static_cast<uint16_t>(candidate);
    state.hashHeads[state.hash] = static_cast<uint16_t>(position);
    return candidate;
}

// Length of the common run of the strings at `current` and `earlier`, given that offsets 0
// and 1 agree: the first offset from 2 on where they differ, or kMaxMatch. Compares eight
// bytes at a time; reads at most offset 257, inside the window's spare tail.
inline uint32_t commonLength(const uint8_t* current, const uint8_t* earlier) {
    if constexpr (std::endian::native == std::endian::little) {
        for (uint32_t offset = 2; offset < kMaxMatch; offset += 8) {
            uint64_t currentWord;
            uint64_t earlierWord;
            std::memcpy(&currentWord, current + offset, 8);
            std::memcpy(&earlierWord, earlier + offset, 8);
            uint64_t difference = currentWord ^ earlierWord;
            if (difference != 0) {
                return offset + static_cast<uint32_t>(std::countr_zero(difference)) / 8;
            }
        }
        return kMaxMatch;
    } else {
        uint32_t offset = 2;
        while (offset < kMaxMatch && current[offset] == earlier[offset]) ++offset;
        return offset;
    }
}

// Walks the chain from `candidate` for the longest earlier string (2 when none reaches 3) and
// sets bestMatchAt. Of equally long matches the first found, the nearest, is kept.
inline uint32_t searchChain(DeflateState& state, uint32_t candidate) {
    const uint8_t* window = state.window;
    uint32_t position = state.position;
    const uint8_t* current = window + position;
    uint32_t best = kMinMatch - 1;
    uint32_t limit = position > kMaxDistance ? position - kMaxDistance : 0;
    uint32_t remaining = state.chainLimit;
    do {
        const uint8_t* earlier = window + candidate;
        // Cheap rejection first: a longer match must agree at the current best length, just
        // before it, and at the start. (Loading the two bytes at best − 1 as one 16-bit word
        // measured no faster: the time goes into fetching the candidate's bytes at all.)
        if (earlier[best] != current[best] || earlier[best - 1] != current[best - 1] ||
            earlier[0] != current[0]) {
            continue;
        }
        uint32_t length = commonLength(current, earlier);
        if (length > best) {
            state.bestMatchAt = candidate;
            best = length;
            if (length >= kMaxMatch) break;
        }
    } while ((candidate = state.chainLinks[candidate & kChainMask]) > limit && --remaining != 0);
    return best;
}

// Moves the upper half of the window down and rebases every index that points into it;
// indexes into the lower half become 0 (none).
void slideWindow(DeflateState& state) {
    std::memcpy(state.window, state.window + kWindowHalf, kWindowHalf);
    state.bestMatchAt -= kWindowHalf;
    state.position -= kWindowHalf;
    state.blockOrigin -= static_cast<int32_t>(kWindowHalf);
    for (uint16_t* table : {state.hashHeads, state.chainLinks}) {
        for (uint32_t index = 0; index < kHashSize; ++index) {
            uint32_t value = table[index];
            table[index] = static_cast<uint16_t>(value >= kWindowHalf ? value - kWindowHalf : 0);
        }
    }
}

}  // namespace

void startMatcher(DeflateState& state) {
    std::memset(state.hashHeads, 0, kHashSize * sizeof(uint16_t));
    state.chainLimit = kChainLimit;
    state.position = 0;
    state.blockOrigin = 0;
    state.aheadCount = readInput(*state.stream, state.window, kSlidingWindowBytes);
    // The search may look up to 257 bytes past the last input byte. What it finds there only
    // decides between candidates, but it must be the same on every run: zeros, never leftovers
    // of an earlier entry. Later slides leave earlier input there, which is just as fixed.
    uint32_t clearEnd = state.aheadCount + kWindowSpareBytes;
    if (clearEnd > kSlidingWindowBytes) clearEnd = kSlidingWindowBytes;
    if (clearEnd > state.aheadCount) {
        std::memset(state.window + state.aheadCount, 0, clearEnd - state.aheadCount);
    }
    std::memset(state.window + kSlidingWindowBytes, 0, kWindowSpareBytes);
    if (state.aheadCount == 0) {
        state.inputEnded = 1;
        return;
    }
    state.inputEnded = 0;
    while (state.aheadCount < kMinLookahead && !state.inputEnded) refillWindow(state);
    state.hash = 0;
    state.hash = ((state.hash << kHashShift) ^ state.window[0]) & kHashMask;
    state.hash = ((state.hash << kHashShift) ^ state.window[1]) & kHashMask;
}

void refillWindow(DeflateState& state) {
    uint32_t room = kSlidingWindowBytes - state.aheadCount - state.position;
    if (room <= 1) {
        slideWindow(state);
        room += kWindowHalf;
    }
    uint32_t got = readInput(*state.stream, state.window + state.position + state.aheadCount, room);
    if (got == 0) {
        state.inputEnded = 1;
    } else {
        state.aheadCount += got;
    }
}

void compressLoop(DeflateState& state) {
    const RecompressStream& stream = *state.stream;
    uint32_t length = 0;  // below kMinMatch between steps unless a search just found a match
    while (state.aheadCount != 0) {
        if (streamShouldStop(stream)) return;  // no end of block, no last block
        uint32_t candidate = insertString(state);
        if (candidate != 0 && state.position - candidate <= kMaxDistance) {
            length = searchChain(state, candidate);
            if (length > state.aheadCount) length = state.aheadCount;
        }
        bool blockEnds;
        if (length >= kMinMatch) {
            blockEnds = recordItem(state, state.position - state.bestMatchAt, length - kMinMatch);
            state.aheadCount -= length;
            // Every string the match covers enters the chains, however long the match.
            for (uint32_t covered = 1; covered < length; ++covered) {
                ++state.position;
                insertString(state);
            }
            length = 0;
            ++state.position;
        } else {
            blockEnds = recordItem(state, 0, state.window[state.position]);
            --state.aheadCount;
            ++state.position;
        }
        if (blockEnds) {
            const uint8_t* input =
                state.blockOrigin >= 0 ? state.window + state.blockOrigin : nullptr;
            endBlock(state, input, static_cast<int32_t>(state.position) - state.blockOrigin, false);
            state.blockOrigin = static_cast<int32_t>(state.position);
        }
        while (state.aheadCount < kMinLookahead && !state.inputEnded) refillWindow(state);
    }
    const uint8_t* input = state.blockOrigin >= 0 ? state.window + state.blockOrigin : nullptr;
    endBlock(state, input, static_cast<int32_t>(state.position) - state.blockOrigin, true);
}

}  // namespace zipsalvage
