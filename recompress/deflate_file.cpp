// deflateFile: one deflate run over a RecompressStream, from obtaining its memory to releasing
// it.
#include <cstring>

#include "core/memory_blocks.h"
#include "recompress/deflate.h"
#include "recompress/deflate_state.h"

namespace zipsalvage {
namespace {

inline constexpr size_t kTableBytes = 65536;  // each of the four 32768-entry 16-bit tables

// The state record and its five buffers, released on every way out of deflateFile.
struct DeflateWorkspace {
    DeflateState* state = nullptr;

    DeflateWorkspace() = default;
    DeflateWorkspace(const DeflateWorkspace&) = delete;
    DeflateWorkspace& operator=(const DeflateWorkspace&) = delete;
    ~DeflateWorkspace() {
        if (state == nullptr) return;
        freeBlock(state->window);
        freeBlock(state->chainLinks);
        freeBlock(state->hashHeads);
        freeBlock(state->distanceBuffer);
        freeBlock(state->literalBuffer);
        freeBlock(state);
    }

    // The state zero-filled, then window, chainLinks, hashHeads, distanceBuffer and
    // literalBuffer in that order; false at the first that cannot be had.
    bool obtain() {
        state = static_cast<DeflateState*>(allocBlock(sizeof(DeflateState)));
        if (state == nullptr) return false;
        std::memset(static_cast<void*>(state), 0, sizeof(DeflateState));
        state->window = static_cast<uint8_t*>(allocBlock(kSlidingWindowBytes + kWindowSpareBytes));
        if (state->window == nullptr) return false;
        state->chainLinks = static_cast<uint16_t*>(allocBlock(kTableBytes));
        if (state->chainLinks == nullptr) return false;
        state->hashHeads = static_cast<uint16_t*>(allocBlock(kTableBytes));
        if (state->hashHeads == nullptr) return false;
        state->distanceBuffer = static_cast<uint16_t*>(allocBlock(kTableBytes));
        if (state->distanceBuffer == nullptr) return false;
        state->literalBuffer = static_cast<uint16_t*>(allocBlock(kTableBytes));
        return state->literalBuffer != nullptr;
    }
};

}  // namespace

bool deflateFile(RecompressStream& stream) {
    DeflateWorkspace workspace;
    if (!workspace.obtain()) return false;  // nothing read or written yet
    DeflateState& state = *workspace.state;
    state.stream = &stream;
    stream.crc = 0;
    state.bitBuffer = 0;
    state.bitCount = 0;
    startTrees(state);
    stream.crcRegister = 0xFFFFFFFFu;
    stream.crc = 0;
    startMatcher(state);
    compressLoop(state);
    return !streamShouldStop(stream);
}

}  // namespace zipsalvage
