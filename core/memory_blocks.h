// Heap blocks that may be unavailable, with a small cache of released blocks, and the owner
// that releases them.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>

namespace zipsalvage {

// Returns an uninitialised block of at least `size` bytes, or nullptr when memory is exhausted.
// Released blocks of the common sizes are kept for reuse, so a run over many small entries
// allocates and releases per entry without touching fresh pages each time.
void* allocBlock(size_t size);

// Releases a block from allocBlock; nullptr is ignored.
void freeBlock(void* block);

// Test seam: makes the next `countdown`-th allocation fail (1 = the very next one); 0 disables.
void failAllocationAfter(int countdown);

// Releases every cached block (used at the end of a process and by leak-checking tests).
void releaseCachedBlocks();

// The one owner of what comes from allocBlock: a block (OwnedBlock below) or a chain of blocks
// released together (a build of decoding tables, huffman/huffman_tables.h). `kRelease` is
// called on every exit path, also with nullptr, which it must ignore; copying is impossible,
// moving hands the memory on. As small as a plain pointer. (std::unique_ptr with a deleter did
// the same, but its test for nullptr before releasing changed how the decoders' code was laid
// out: unreduce and unshrink ran 2 to 4% slower.)
template <typename T, auto kRelease>
struct Owned {
    using Element = std::remove_extent_t<T>;
    Element* pointer = nullptr;

    Owned() = default;
    explicit Owned(Element* owned) : pointer(owned) {}
    ~Owned() { kRelease(pointer); }
    Owned(Owned&& other) noexcept : pointer(other.pointer) { other.pointer = nullptr; }
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            kRelease(pointer);
            pointer = other.pointer;
            other.pointer = nullptr;
        }
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;

    // Releases what is owned and takes `owned` instead.
    void reset(Element* owned) {
        kRelease(pointer);
        pointer = owned;
    }
    explicit operator bool() const { return pointer != nullptr; }
    bool operator==(std::nullptr_t) const { return pointer == nullptr; }
    Element* get() const { return pointer; }
    Element* operator->() const requires(!std::is_array_v<T>) { return pointer; }
    Element& operator*() const requires(!std::is_array_v<T>) { return *pointer; }
    Element& operator[](size_t index) const requires(std::is_array_v<T>) { return pointer[index]; }
};

// Ends the object's lifetime, then gives its block back; nullptr is ignored.
template <typename T>
void releaseBlock(T* object) {
    if constexpr (!std::is_trivially_destructible_v<T>) {
        if (object == nullptr) return;
        std::destroy_at(object);
    }
    freeBlock(object);
}

// One allocBlock block holding a T, or an array of trivial T for OwnedBlock<T[]>.
template <typename T>
using OwnedBlock = Owned<T, &releaseBlock<std::remove_extent_t<T>>>;

// A T made in a block of its own, default-initialised: members without an initialiser keep
// whatever the block held (a decoder's window is not cleared for nothing). Empty when memory
// is exhausted.
template <typename T>
requires(!std::is_array_v<T>) OwnedBlock<T> newBlock() {
    void* block = allocBlock(sizeof(T));
    return OwnedBlock<T>(block == nullptr ? nullptr : ::new (block) T);
}

// `count` uninitialised elements in one block; empty when memory is exhausted.
template <typename T>
requires(std::is_trivial_v<T>) OwnedBlock<T[]> newBlockArray(size_t count) {
    return OwnedBlock<T[]>(static_cast<T*>(allocBlock(count * sizeof(T))));
}

}  // namespace zipsalvage
