// Dynamic Huffman codes of one block: the tree built with a heap, code lengths limited to 15
// (7 for the code-length code), canonical codes (RFC 1951 3.2.2), and the cost of each choice.
#include <cstring>

#include "recompress/deflate_state.h"

namespace zipsalvage {
namespace {

// Node a sorts before node b: lower frequency, or the same frequency and a subtree no deeper.
// The depth tie-break keeps trees shallow when many frequencies are equal.
inline bool sortsBefore(const DeflateState& state, const TreeNode* tree, int a, int b) {
    return tree[a].freqOrCode < tree[b].freqOrCode ||
           (tree[a].freqOrCode == tree[b].freqOrCode && state.depth[a] <= state.depth[b]);
}

void siftDown(DeflateState& state, const TreeNode* tree, int slot) {
    int moving = state.heap[slot];
    int child = slot * 2;
    while (child <= state.heapLength) {
        if (child < state.heapLength &&
            sortsBefore(state, tree, state.heap[child + 1], state.heap[child])) {
            ++child;
        }
        if (sortsBefore(state, tree, moving, state.heap[child])) break;
        state.heap[slot] = state.heap[child];
        slot = child;
        child *= 2;
    }
    state.heap[slot] = moving;
}

uint32_t extraBitsOf(const TreeSpec& spec, int symbol) {
    return symbol >= spec.extraBase ? spec.extraBits[symbol - spec.extraBase] : 0;
}

// Turns parent links into code lengths, walking the sorted node list from the root down, and
// adds the block's cost under these lengths and under the fixed codes. Lengths beyond
// maxLength are clipped and the counts repaired so the code stays complete.
void assignBitLengths(DeflateState& state, const TreeSpec& spec) {
    TreeNode* tree = spec.tree;
    std::memset(state.lengthCounts, 0, sizeof state.lengthCounts);
    tree[state.heap[state.heapTop]].parentOrLength = 0;
    int overflow = 0;
    for (int slot = state.heapTop + 1; slot < kHeapSize; ++slot) {
        int node = state.heap[slot];
        int bits = tree[tree[node].parentOrLength].parentOrLength + 1;
        if (bits > spec.maxLength) {
            bits = spec.maxLength;
            ++overflow;
        }
        tree[node].parentOrLength = static_cast<uint16_t>(bits);
        if (node > spec.maxCode) continue;  // an inner node
        ++state.lengthCounts[bits];
        uint32_t extra = extraBitsOf(spec, node);
        uint32_t frequency = tree[node].freqOrCode;
        state.dynamicBits += frequency * (static_cast<uint32_t>(bits) + extra);
        if (spec.fixedCodes != nullptr) {
            state.fixedBits += frequency * (spec.fixedCodes[node].parentOrLength + extra);
        }
    }
    if (overflow == 0) return;

    // Each step moves one leaf down from the longest length below the limit (two leaves take
    // its place one level deeper) and retires one overlong leaf: two overflowing nodes less.
    do {
        int bits = spec.maxLength - 1;
        while (state.lengthCounts[bits] == 0) --bits;
        --state.lengthCounts[bits];
        state.lengthCounts[bits + 1] = static_cast<uint16_t>(state.lengthCounts[bits + 1] + 2);
        --state.lengthCounts[spec.maxLength];
        overflow -= 2;
    } while (overflow > 0);

    // Hand the repaired lengths out again, longest to the least frequent leaves.
    int slot = kHeapSize;
    for (int bits = spec.maxLength; bits != 0; --bits) {
        int leavesLeft = state.lengthCounts[bits];
        while (leavesLeft != 0) {
            int node = state.heap[--slot];
            if (node > spec.maxCode) continue;
            int oldBits = tree[node].parentOrLength;
            if (oldBits != bits) {
                state.dynamicBits += static_cast<uint32_t>((bits - oldBits) *
                                                           static_cast<int>(tree[node].freqOrCode));
                tree[node].parentOrLength = static_cast<uint16_t>(bits);
            }
            --leavesLeft;
        }
    }
}

// Canonical codes from the lengths (RFC 1951 3.2.2), stored bit-reversed for LSB-first output.
void assignCodes(TreeNode* tree, int maxCode, const uint16_t* lengthCounts) {
    uint32_t nextCode[kMaxCodeBits + 1] = {};
    uint32_t code = 0;
    for (int bits = 1; bits <= kMaxCodeBits; ++bits) {
        code = (code + lengthCounts[bits - 1]) << 1;
        nextCode[bits] = code;
    }
    for (int symbol = 0; symbol <= maxCode; ++symbol) {
        int length = tree[symbol].parentOrLength;
        if (length == 0) continue;
        tree[symbol].freqOrCode = reverseBits(nextCode[length]++, length);
    }
}

}  // namespace

void makeTree(DeflateState& state, TreeSpec& spec) {
    TreeNode* tree = spec.tree;
    state.heapLength = 0;
    state.heapTop = kHeapSize;
    int maxCode = -1;
    for (int leaf = 0; leaf < spec.leaves; ++leaf) {
        if (tree[leaf].freqOrCode != 0) {
            state.heap[++state.heapLength] = leaf;
            maxCode = leaf;
            state.depth[leaf] = 0;
        } else {
            tree[leaf].parentOrLength = 0;
        }
    }
    // Every tree gets two codes at least, so that it is a complete prefix code even for a block
    // without matches (RFC 1951 3.2.7 tolerates a lone distance code, decoders differ on it).
    // The added leaves' cost is taken back here, since it is counted with the others below.
    while (state.heapLength < 2) {
        int leaf = maxCode < 2 ? ++maxCode : 0;
        state.heap[++state.heapLength] = leaf;
        tree[leaf].freqOrCode = 1;
        state.depth[leaf] = 0;
        state.dynamicBits -= 1;
        if (spec.fixedCodes != nullptr) state.fixedBits -= spec.fixedCodes[leaf].parentOrLength;
    }
    spec.maxCode = maxCode;

    for (int slot = state.heapLength / 2; slot >= 1; --slot) siftDown(state, tree, slot);

    // Join the two least frequent nodes until one is left; the nodes taken out are listed at
    // the heap's far end, so that list runs from the root down to the deepest leaves.
    int node = spec.leaves;
    while (state.heapLength >= 2) {
        int least = state.heap[1];
        state.heap[1] = state.heap[state.heapLength--];
        siftDown(state, tree, 1);
        int second = state.heap[1];
        state.heap[--state.heapTop] = least;
        state.heap[--state.heapTop] = second;
        tree[node].freqOrCode =
            static_cast<uint16_t>(tree[least].freqOrCode + tree[second].freqOrCode);
        uint8_t deeper =
            state.depth[least] >= state.depth[second] ? state.depth[least] : state.depth[second];
        state.depth[node] = static_cast<uint8_t>(deeper + 1);
        tree[least].parentOrLength = static_cast<uint16_t>(node);
        tree[second].parentOrLength = static_cast<uint16_t>(node);
        state.heap[1] = node++;
        siftDown(state, tree, 1);
    }
    state.heap[--state.heapTop] = state.heap[1];

    assignBitLengths(state, spec);
    assignCodes(tree, maxCode, state.lengthCounts);
}

int makeCodeLengthTree(DeflateState& state, const TreeSpec& literal, const TreeSpec& distance) {
    auto count = [&state](int symbol, int, int) { ++state.codeLengthTree[symbol].freqOrCode; };
    walkCodeLengths(literal.tree, literal.maxCode, count);
    walkCodeLengths(distance.tree, distance.maxCode, count);

    TreeSpec codeLength{
        state.codeLengthTree,   nullptr, kCodeLengthExtraBits.data(), 0, kCodeLengthSymbols,
        kMaxCodeLengthCodeBits, 0};
    makeTree(state, codeLength);

    // RFC 1951 3.2.7: HCLEN sends at least four code-length code lengths.
    int last = kCodeLengthSymbols - 1;
    while (last >= 3 && state.codeLengthTree[kCodeLengthOrder[last]].parentOrLength == 0) --last;
    state.dynamicBits += 3 * static_cast<uint32_t>(last + 1) + 5 + 5 + 4;
    return last;
}

}  // namespace zipsalvage
