// The state of one deflate run and the operations of the match finder, the tree builder and
// the block writer that work on it. Internal to recompress/ and its tests.
#pragma once

#include <cstdint>

#include "recompress/deflate_constants.h"
#include "recompress/recompress_stream.h"

namespace zipsalvage {

// One deflate run. deflateFile obtains it zero-filled together with its five 65536-byte
// buffers and releases everything before it returns. The length and distance code tables and
// the fixed codes are compile-time constants (deflate_constants.h), so a run builds none.
struct DeflateState {
    RecompressStream* stream;

    // Match finder (match_finder.cpp).
    uint8_t* window;       // kSlidingWindowBytes + kWindowSpareBytes; the upper half slides down
    uint16_t* chainLinks;  // per window index & 0x7FFF: previous index with the same hash, 0 none
    uint16_t* hashHeads;   // per hash: most recent window index with that hash, 0 none
    uint32_t chainLimit;   // most candidates one search examines
    uint32_t position;     // window index of the current string
    int32_t blockOrigin;   // window index where the block's input begins; < 0 once slid out
    uint32_t aheadCount;   // valid input bytes from position onward
    uint32_t inputEnded;   // a read of input brought no byte
    uint32_t hash;         // rolling hash of the three bytes at position
    uint32_t bestMatchAt;  // window index of the best match of the last search

    // Block being recorded (block_writer.cpp).
    uint32_t dynamicBits;  // cost of the block's items under dynamic codes
    uint32_t fixedBits;    // cost of the block's items under the fixed codes
    uint32_t itemCount;    // literals and matches recorded
    uint32_t matchCount;
    uint32_t matchFlagBytes;
    uint8_t pendingFlags;
    uint8_t nextFlagMask;
    uint16_t* distanceBuffer;             // distance − 1 of each match, in order
    uint16_t* literalBuffer;              // per item: the literal byte, or the match length − 3
    uint8_t matchFlags[kMatchFlagBytes];  // one bit per item, set for a match; first item bit 0

    // Tree building (huffman_trees.cpp).
    uint16_t lengthCounts[kMaxCodeBits + 1];
    TreeNode literalTree[kLiteralTreeNodes];
    TreeNode distanceTree[kDistanceTreeNodes];
    TreeNode codeLengthTree[kCodeLengthTreeNodes];
    int32_t heapLength;
    int32_t heapTop;  // lowest used index of the sorted node list at the heap's far end
    int32_t heap[kHeapSize];
    uint8_t depth[kHeapSize];  // subtree depth per node: the tie-breaker of equal frequencies

    // Bit writer: output bits not yet written, oldest in bit 0. Holds at most 16 bits between
    // calls, so bytes leave exactly when a 16-bit buffer would overflow.
    uint32_t bitBuffer;
    int32_t bitCount;
};

// Describes one tree to makeTree.
struct TreeSpec {
    TreeNode* tree;
    const CodeEntry* fixedCodes;  // nullptr for the code-length tree
    const uint8_t* extraBits;
    int extraBase;  // first symbol that has extra bits
    int leaves;
    int maxLength;
    int maxCode;  // set by makeTree: largest symbol with a code
};

// The literal/length and distance trees of the block being built (RFC 1951 3.2.5 extra bits).
inline TreeSpec literalTreeSpec(DeflateState& state) {
    return {state.literalTree,
            kFixedLiteralCodes.data(),
            kLengthExtraBits.data(),
            kFirstLengthSymbol,
            kLiteralSymbols,
            kMaxCodeBits,
            0};
}
inline TreeSpec distanceTreeSpec(DeflateState& state) {
    return {state.distanceTree,
            kFixedDistanceCodes.data(),
            kDistanceExtraBits.data(),
            0,
            kDistanceSymbols,
            kMaxCodeBits,
            0};
}

// --- Match finder and compression loop (match_finder.cpp) -------------------------------------
void startMatcher(DeflateState& state);
void compressLoop(DeflateState& state);
void refillWindow(DeflateState& state);

// --- Block writer (block_writer.cpp) ----------------------------------------------------------
void startTrees(DeflateState& state);
void resetBlock(DeflateState& state);
// The early-end estimate made every kEstimateEvery items: true when the block compresses well.
bool blockPaysToEnd(const DeflateState& state);
// Writes the block; `input` is the block's bytes in the window, or nullptr when they have slid
// out. With `last`, the bit writer is emptied to a byte boundary.
void endBlock(DeflateState& state, const uint8_t* input, int32_t inputBytes, bool last);

// Records one item: a literal (distance 0, value the byte) or a match (value length − 3).
// True when the block should end now.
inline bool recordItem(DeflateState& state, uint32_t distance, uint32_t value) {
    state.literalBuffer[state.itemCount++] = static_cast<uint16_t>(value);
    if (distance == 0) {
        ++state.literalTree[value].freqOrCode;
    } else {
        uint32_t distanceLessOne = distance - 1;
        ++state.literalTree[kFirstLengthSymbol + kLengthTables.codeOf[value]].freqOrCode;
        ++state.distanceTree[distanceCodeOf(distanceLessOne)].freqOrCode;
        state.distanceBuffer[state.matchCount++] = static_cast<uint16_t>(distanceLessOne);
        state.pendingFlags = static_cast<uint8_t>(state.pendingFlags | state.nextFlagMask);
    }
    state.nextFlagMask = static_cast<uint8_t>(state.nextFlagMask << 1);
    if ((state.itemCount & 7) == 0) {
        state.matchFlags[state.matchFlagBytes++] = state.pendingFlags;
        state.pendingFlags = 0;
        state.nextFlagMask = 1;
    }
    if (state.itemCount % kEstimateEvery == 0) return blockPaysToEnd(state);
    return state.itemCount == kMaxBlockItems;
}

// --- Huffman trees (huffman_trees.cpp) --------------------------------------------------------
// Code lengths (limited to spec.maxLength) and codes of one tree; adds the cost of the block's
// symbols to dynamicBits and fixedBits.
void makeTree(DeflateState& state, TreeSpec& spec);
// Builds the code-length tree for the two trees; returns the index in kCodeLengthOrder of the
// last code-length code to send.
int makeCodeLengthTree(DeflateState& state, const TreeSpec& literal, const TreeSpec& distance);

// Walks the code lengths of symbols 0..maxCode as RFC 1951 3.2.7 run-length codes them and
// hands each code-length symbol to `sink(symbol, extraBitCount, extraValue)`. Shared by the
// counting and the sending, so the two cannot disagree.
template <typename Sink>
void walkCodeLengths(const TreeNode* tree, int maxCode, Sink&& sink) {
    int previous = -1;
    int next = tree[0].parentOrLength;
    int count = 0;
    int maxCount = next == 0 ? 138 : 7;
    int minCount = next == 0 ? 3 : 4;
    for (int symbol = 0; symbol <= maxCode; ++symbol) {
        int current = next;
        // The length after maxCode differs from every length, so a run always ends there.
        next = symbol < maxCode ? tree[symbol + 1].parentOrLength : -1;
        if (++count < maxCount && current == next) continue;
        if (count < minCount) {
            for (; count > 0; --count) sink(current, 0, 0);
        } else if (current != 0) {
            if (current != previous) {
                sink(current, 0, 0);
                --count;
            }
            sink(kRepeatPrevious, 2, count - 3);
        } else if (count <= 10) {
            sink(kRepeatZeroShort, 3, count - 3);
        } else {
            sink(kRepeatZeroLong, 7, count - 11);
        }
        count = 0;
        previous = current;
        if (next == 0) {
            maxCount = 138;
            minCount = 3;
        } else if (current == next) {
            maxCount = 6;
            minCount = 3;
        } else {
            maxCount = 7;
            minCount = 4;
        }
    }
}

}  // namespace zipsalvage
