// The re-encoded bytes of a judged entry, held in memory blocks until the entry goes out.
#include "engine/entry/judged_entry.h"

#include <cstring>

#include "core/memory_blocks.h"

namespace zipsalvage {
namespace {

uint32_t appendEncoded(void* owner, const uint8_t* bytes, uint32_t count) {
    auto& encoded = *static_cast<EncodedBytes*>(owner);
    uint32_t taken = 0;
    while (taken < count) {
        if (encoded.size == encoded.capacity) {
            uint32_t next = encoded.blockSizes.empty() ? kFirstEncodedBlockBytes
                                                       : encoded.blockSizes.back() * 2;
            if (next > kLargestEncodedBlockBytes) next = kLargestEncodedBlockBytes;
            auto* block = static_cast<uint8_t*>(allocBlock(next));
            if (block == nullptr) break;
            encoded.blocks.push_back(block);
            encoded.blockSizes.push_back(next);
            encoded.capacity += next;
        }
        uint64_t room = encoded.capacity - encoded.size;
        uint32_t piece = count - taken;
        if (piece > room) piece = static_cast<uint32_t>(room);
        uint8_t* block = encoded.blocks.back();
        uint64_t offset = encoded.size - (encoded.capacity - encoded.blockSizes.back());
        std::memcpy(block + offset, bytes + taken, piece);
        taken += piece;
        encoded.size += piece;
    }
    return taken;
}

}  // namespace

EncodedBytes::~EncodedBytes() { clearEncoded(*this); }

void clearEncoded(EncodedBytes& bytes) {
    for (uint8_t* block : bytes.blocks) freeBlock(block);
    bytes.blocks.clear();
    bytes.blockSizes.clear();
    bytes.size = 0;
    bytes.capacity = 0;
}

StreamOutput encodedOutput(EncodedBytes& bytes) { return StreamOutput{&bytes, appendEncoded}; }

}  // namespace zipsalvage
