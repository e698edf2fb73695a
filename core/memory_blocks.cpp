// allocBlock/freeBlock: a size-prefixed block with a per-size free list.
//
// Every block carries a small header recording its size class. Released blocks of up to
// kMaxCachedBytes go to a free list of their class (at most kMaxCachedPerClass each), so the
// decoders and the encoder, which take the same few sizes for every entry, reuse warm memory.
// The worker and the encoder threads allocate at once during a run, so the free lists are
// guarded by one mutex (taken per block, never per byte).
#include "core/memory_blocks.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>

namespace zipsalvage {
namespace {

constexpr size_t kHeaderBytes = 16;  // keeps the payload 16-byte aligned
constexpr size_t kMaxCachedBytes = 1u << 20;
constexpr int kMaxCachedPerClass = 8;
constexpr int kClassCount = 64;

struct BlockHeader {
    size_t capacity;
    BlockHeader* nextFree;
};
static_assert(sizeof(BlockHeader) <= kHeaderBytes);

struct SizeClass {
    size_t capacity = 0;
    BlockHeader* freeList = nullptr;
    int freeCount = 0;
};

std::mutex cacheLock;
SizeClass sizeClasses[kClassCount];
std::atomic<int> failCountdown{0};

SizeClass* classFor(size_t capacity) {
    for (SizeClass& sizeClass : sizeClasses) {
        if (sizeClass.capacity == capacity) return &sizeClass;
    }
    for (SizeClass& sizeClass : sizeClasses) {
        if (sizeClass.capacity == 0) {
            sizeClass.capacity = capacity;
            return &sizeClass;
        }
    }
    return nullptr;
}

bool injectedFailure() {
    int countdown = failCountdown.load(std::memory_order_relaxed);
    while (countdown > 0) {
        if (failCountdown.compare_exchange_weak(countdown, countdown - 1)) return countdown == 1;
    }
    return false;
}

}  // namespace

void* allocBlock(size_t size) {
    if (injectedFailure()) return nullptr;
    size_t capacity = size == 0 ? 16 : (size + 15) & ~size_t{15};
    if (capacity <= kMaxCachedBytes) {
        std::lock_guard<std::mutex> guard(cacheLock);
        SizeClass* sizeClass = classFor(capacity);
        if (sizeClass != nullptr && sizeClass->freeList != nullptr) {
            BlockHeader* header = sizeClass->freeList;
            sizeClass->freeList = header->nextFree;
            --sizeClass->freeCount;
            return reinterpret_cast<uint8_t*>(header) + kHeaderBytes;
        }
    }
    auto* raw = static_cast<uint8_t*>(std::malloc(capacity + kHeaderBytes));
    if (raw == nullptr) return nullptr;
    auto* header = reinterpret_cast<BlockHeader*>(raw);
    header->capacity = capacity;
    header->nextFree = nullptr;
    return raw + kHeaderBytes;
}

void freeBlock(void* block) {
    if (block == nullptr) return;
    auto* header = reinterpret_cast<BlockHeader*>(static_cast<uint8_t*>(block) - kHeaderBytes);
    if (header->capacity <= kMaxCachedBytes) {
        std::lock_guard<std::mutex> guard(cacheLock);
        SizeClass* sizeClass = classFor(header->capacity);
        if (sizeClass != nullptr && sizeClass->freeCount < kMaxCachedPerClass) {
            header->nextFree = sizeClass->freeList;
            sizeClass->freeList = header;
            ++sizeClass->freeCount;
            return;
        }
    }
    std::free(header);
}

void failAllocationAfter(int countdown) { failCountdown.store(countdown); }

void releaseCachedBlocks() {
    std::lock_guard<std::mutex> guard(cacheLock);
    for (SizeClass& sizeClass : sizeClasses) {
        while (sizeClass.freeList != nullptr) {
            BlockHeader* header = sizeClass.freeList;
            sizeClass.freeList = header->nextFree;
            std::free(header);
        }
        sizeClass.freeCount = 0;
    }
}

}  // namespace zipsalvage
