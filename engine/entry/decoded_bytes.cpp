// DecodedBytes: 1 MiB blocks from the block cache, and the temporary file past the bound.
//
// The decoders write at increasing offsets from 0 (and from 0 again when a password is tried
// anew), but any offset is taken: a gap reads as zeros, as it would in a file.
#include "engine/entry/decoded_bytes.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/crc32.h"
#include "core/memory_blocks.h"

namespace zipsalvage {
namespace {

uint64_t memoryBound = kDecodedMemoryBound;

void freeBlocks(DecodedBytes& bytes) {
    for (int index = 0; index < bytes.blockCount; ++index) {
        if (bytes.tailTrimmed && index == bytes.blockCount - 1) {
            delete[] bytes.blocks[index];
        } else {
            freeBlock(bytes.blocks[index]);
        }
        bytes.blocks[index] = nullptr;
    }
    bytes.blockCount = 0;
    bytes.size = 0;
    bytes.tailTrimmed = false;
}

// Blocks for the first `end` bytes; false when memory runs out.
bool haveBlocksFor(DecodedBytes& bytes, uint64_t end) {
    while (uint64_t{kDecodedBlockBytes} * static_cast<uint64_t>(bytes.blockCount) < end) {
        void* block = allocBlock(kDecodedBlockBytes);
        if (block == nullptr) return false;
        bytes.blocks[bytes.blockCount++] = static_cast<uint8_t*>(block);
    }
    return true;
}

// Copies `count` bytes to memory offset `position`, within blocks already had; a null `source`
// writes zeros.
void copyToBlocks(DecodedBytes& bytes, uint64_t position, const uint8_t* source, uint64_t count) {
    while (count > 0) {
        uint8_t* block = bytes.blocks[position / kDecodedBlockBytes];
        uint64_t offset = position % kDecodedBlockBytes;
        auto piece = static_cast<size_t>(std::min<uint64_t>(count, kDecodedBlockBytes - offset));
        if (source != nullptr) {
            std::memcpy(block + offset, source, piece);
            source += piece;
        } else {
            std::memset(block + offset, 0, piece);
        }
        position += piece;
        count -= piece;
    }
}

// Moves what memory holds into the temporary file, made now if the entry has none yet, and
// gives the blocks back. False when the file cannot be made or does not take the bytes.
bool spill(DecodedBytes& bytes) {
    if (bytes.file == kInvalidFile) {
        std::string folder = runTempFolder();
        bytes.path = folder.empty() ? std::string() : folder + kEntryTempFileName;
        if (!folder.empty()) bytes.file = createTempFileAt(bytes.path.c_str());
        if (bytes.file == kInvalidFile) {
            bytes.noFile = true;
            return false;
        }
    }
    uint64_t position = 0;
    for (int index = 0; index < bytes.blockCount && position < bytes.size; ++index) {
        auto piece =
            static_cast<uint32_t>(std::min<uint64_t>(bytes.size - position, kDecodedBlockBytes));
        if (writeFileAt(bytes.file, static_cast<int64_t>(position), bytes.blocks[index], piece) !=
            piece) {
            return false;
        }
        position += piece;
    }
    freeBlocks(bytes);
    bytes.spilled = true;
    return true;
}

// Keeps the running CRC-32 over a write of `count` bytes at `start` that took `written`.
void followCrc(DecodedBytes& bytes, uint64_t start, const uint8_t* source, uint32_t count,
               uint32_t written) {
    if (!bytes.crcInOrder) return;
    if (start != bytes.crcThrough || written != count) {
        bytes.crcInOrder = false;
        return;
    }
    bytes.crcRegister = crc32Update(bytes.crcRegister, source, count);
    bytes.crcThrough += count;
}

uint32_t writeAt(DecodedBytes& bytes, uint64_t start, const uint8_t* source, uint32_t count) {
    uint64_t end = start + count;
    if (!bytes.spilled) {
        if (end <= memoryBound && haveBlocksFor(bytes, end)) {
            if (start > bytes.size) copyToBlocks(bytes, bytes.size, nullptr, start - bytes.size);
            copyToBlocks(bytes, start, source, count);
            bytes.size = std::max(bytes.size, end);
            return count;
        }
        // Past the bound, or no memory for another block: the file takes over.
        if (!spill(bytes)) return 0;
    }
    return writeFileAt(bytes.file, static_cast<int64_t>(start), source, count);
}

uint32_t writeDecodedAt(void* owner, int64_t position, const uint8_t* source, uint32_t count) {
    auto& bytes = *static_cast<DecodedBytes*>(owner);
    if (position < 0) return 0;
    if (bytes.tailTrimmed) return 0;  // held for reading only
    auto start = static_cast<uint64_t>(position);
    uint32_t written = writeAt(bytes, start, source, count);
    followCrc(bytes, start, source, count, written);
    return written;
}

// Cuts the bytes back to `size`: in memory only the count shrinks (the blocks stay until the
// holder is emptied), a spilled file is truncated.
bool truncateDecodedAt(void* owner, uint64_t size) {
    auto& bytes = *static_cast<DecodedBytes*>(owner);
    if (bytes.tailTrimmed) return false;
    if (size < bytes.crcThrough) bytes.crcInOrder = false;
    if (!bytes.spilled) {
        bytes.size = std::min(bytes.size, size);
        return true;
    }
    return seekFile(bytes.file, static_cast<int64_t>(size)) && truncateFileHere(bytes.file);
}

uint32_t readDecoded(void* owner, uint8_t* destination, uint32_t count) {
    auto& bytes = *static_cast<DecodedBytes*>(owner);
    if (bytes.spilled) {
        uint32_t got = readFile(bytes.file, destination, count);
        bytes.readPosition += got;
        return got;
    }
    uint64_t left = bytes.size - std::min(bytes.readPosition, bytes.size);
    auto take = static_cast<uint32_t>(std::min<uint64_t>(count, left));
    uint32_t done = 0;
    while (done < take) {
        const uint8_t* block = bytes.blocks[bytes.readPosition / kDecodedBlockBytes];
        uint64_t offset = bytes.readPosition % kDecodedBlockBytes;
        auto piece =
            static_cast<uint32_t>(std::min<uint64_t>(take - done, kDecodedBlockBytes - offset));
        std::memcpy(destination + done, block + offset, piece);
        done += piece;
        bytes.readPosition += piece;
    }
    return take;
}

}  // namespace

void setDecodedMemoryBound(uint64_t bytes) { memoryBound = std::min(bytes, kDecodedMemoryBound); }

uint64_t decodedMemoryBound() { return memoryBound; }

DecodedBytes::~DecodedBytes() {
    freeBlocks(*this);
    if (file != kInvalidFile) {
        closeFile(file);
        deleteFile(path.c_str());
    }
}

EntryOutput decodedOutput(DecodedBytes& bytes) {
    return EntryOutput{&bytes, writeDecodedAt, truncateDecodedAt};
}

void trimDecodedTail(DecodedBytes& bytes) {
    if (bytes.spilled || bytes.tailTrimmed || bytes.blockCount == 0) return;
    int last = bytes.blockCount - 1;
    uint64_t used = bytes.size - uint64_t{kDecodedBlockBytes} * static_cast<uint64_t>(last);
    if (used >= kDecodedBlockBytes) return;
    auto* tail = new (std::nothrow) uint8_t[used == 0 ? 1 : used];
    if (tail == nullptr) return;  // the whole block stays: only memory is lost
    std::memcpy(tail, bytes.blocks[last], static_cast<size_t>(used));
    freeBlock(bytes.blocks[last]);
    bytes.blocks[last] = tail;
    bytes.tailTrimmed = true;
}

uint64_t heldDecodedBytes(const DecodedBytes& bytes) {
    if (bytes.spilled || bytes.blockCount == 0) return 0;
    uint64_t whole = uint64_t{kDecodedBlockBytes} * static_cast<uint64_t>(bytes.blockCount);
    return bytes.tailTrimmed ? bytes.size : whole;
}

bool emptyDecoded(DecodedBytes& bytes) {
    freeBlocks(bytes);
    bytes.spilled = false;
    bytes.crcRegister = 0xFFFFFFFFu;
    bytes.crcThrough = 0;
    bytes.crcInOrder = true;
    return bytes.file == kInvalidFile || (seekFile(bytes.file, 0) && truncateFileHere(bytes.file));
}

int64_t decodedSize(const DecodedBytes& bytes) {
    return bytes.spilled ? fileSize(bytes.file) : static_cast<int64_t>(bytes.size);
}

namespace {

// A pass over every byte held stands for the running CRC-32 from here on: asking again costs
// nothing, and writes that go on in order keep it.
void takeCrcFromPass(DecodedBytes& bytes, uint32_t state) {
    bytes.crcRegister = state;
    bytes.crcThrough = bytes.spilled ? static_cast<uint64_t>(fileSize(bytes.file)) : bytes.size;
    bytes.crcInOrder = true;
}

}  // namespace

bool crcOfDecoded(DecodedBytes& bytes, uint32_t& crc) {
    int64_t held = decodedSize(bytes);
    if (bytes.crcInOrder && held >= 0 && static_cast<uint64_t>(held) == bytes.crcThrough) {
        crc = ~bytes.crcRegister;
        return true;
    }
    if (!bytes.spilled) {
        uint32_t state = 0xFFFFFFFFu;
        for (uint64_t position = 0; position < bytes.size; position += kDecodedBlockBytes) {
            auto piece =
                static_cast<size_t>(std::min<uint64_t>(bytes.size - position, kDecodedBlockBytes));
            state = crc32Update(state, bytes.blocks[position / kDecodedBlockBytes], piece);
        }
        crc = ~state;
        takeCrcFromPass(bytes, state);
        return true;
    }
    StreamInput input{};
    if (!startReadingDecoded(bytes, input)) return false;
    uint8_t buffer[16384];
    uint32_t state = 0xFFFFFFFFu;
    while (uint32_t count = input.read(input.owner, buffer, sizeof buffer)) {
        state = crc32Update(state, buffer, count);
    }
    crc = ~state;
    takeCrcFromPass(bytes, state);
    return true;
}

bool startReadingDecoded(DecodedBytes& bytes, StreamInput& input) {
    if (bytes.spilled && !seekFile(bytes.file, 0)) return false;
    bytes.readPosition = 0;
    input = StreamInput{&bytes, readDecoded};
    return true;
}

}  // namespace zipsalvage
