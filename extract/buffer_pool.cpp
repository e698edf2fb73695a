// The pool of 8192-byte staging buffers used by the stored method.
#include <mutex>

#include "extract/methods.h"

namespace zipsalvage {
namespace {

constexpr size_t kPoolBufferBytes = 8192;
constexpr int kMaxIdleBuffers = 3;

struct PoolNode {
    PoolNode* next;
    int inUse;
    uint8_t* buffer;
};

PoolNode* poolHead = nullptr;  // newest first
std::mutex poolLock;

}  // namespace

uint8_t* takePoolBuffer() {
    std::lock_guard<std::mutex> guard(poolLock);
    for (PoolNode* node = poolHead; node != nullptr; node = node->next) {
        if (!node->inUse) {
            node->inUse = 1;
            return node->buffer;
        }
    }
    auto* node = static_cast<PoolNode*>(allocBlock(sizeof(PoolNode)));
    if (node == nullptr) return nullptr;
    node->buffer = static_cast<uint8_t*>(allocBlock(kPoolBufferBytes));
    if (node->buffer == nullptr) {
        // Unlike a node without a buffer, nothing is kept that could never serve.
        freeBlock(node);
        return nullptr;
    }
    node->inUse = 1;
    node->next = poolHead;
    poolHead = node;
    return node->buffer;
}

void returnPoolBuffer(uint8_t* buffer) {
    if (buffer == nullptr) return;
    std::lock_guard<std::mutex> guard(poolLock);
    PoolNode** link = &poolHead;
    while (*link != nullptr && (*link)->buffer != buffer) link = &(*link)->next;
    PoolNode* node = *link;
    if (node == nullptr) return;
    node->inUse = 0;
    int idle = 0;
    for (PoolNode* other = poolHead; other != nullptr; other = other->next)
        idle += other->inUse ? 0 : 1;
    if (idle > kMaxIdleBuffers) {
        *link = node->next;
        freeBlock(node->buffer);
        freeBlock(node);
    }
}

}  // namespace zipsalvage
