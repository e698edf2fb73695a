// Owner of one allocBlock block, so that every exit path of a decoder releases what it took.
#pragma once

#include <cstddef>

#include "core/memory_blocks.h"

namespace zipsalvage {

template <typename T>
struct OwnedBlock {
    T* block = nullptr;

    explicit OwnedBlock(size_t bytes) : block(static_cast<T*>(allocBlock(bytes))) {}
    ~OwnedBlock() { freeBlock(block); }
    OwnedBlock(const OwnedBlock&) = delete;
    OwnedBlock& operator=(const OwnedBlock&) = delete;

    explicit operator bool() const { return block != nullptr; }
    T* get() const { return block; }
    T* operator->() const { return block; }
};

}  // namespace zipsalvage
