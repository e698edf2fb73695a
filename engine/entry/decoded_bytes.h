// An entry's decoded bytes: in memory blocks up to a bound, and in the run's private temporary
// file only for an entry that outgrows it. Most entries are small, and keeping them in memory
// spares every one of them a file created, written, read back and truncated.
#pragma once

#include <cstdint>
#include <string>

#include "extract/extract_context.h"
#include "platform/platform.h"
#include "recompress/recompress_stream.h"

namespace zipsalvage {

inline constexpr const char* kEntryTempFileName = "klv.tmp";
inline constexpr uint32_t kDecodedBlockBytes = 1u << 20;
inline constexpr int kMostDecodedBlocks = 32;
// Peak memory stays at one entry's bound, whatever the archive holds.
inline constexpr uint64_t kDecodedMemoryBound = uint64_t{kDecodedBlockBytes} * kMostDecodedBlocks;

// Test seam: entries larger than `bytes` (at most kDecodedMemoryBound) go to the temporary
// file; 0 sends every byte there.
void setDecodedMemoryBound(uint64_t bytes);
uint64_t decodedMemoryBound();

// Owns the blocks and, once it exists, the temporary file (closed and deleted with the holder).
struct DecodedBytes {
    uint8_t* blocks[kMostDecodedBlocks] = {};
    int blockCount = 0;
    uint64_t size = 0;  // bytes held in memory (while not spilled)
    FileHandle file = kInvalidFile;
    std::string path;          // the temporary file's, once one was asked for
    bool spilled = false;      // the bytes are in `file`, none in memory
    bool noFile = false;       // the temporary file could not be created
    bool tailTrimmed = false;  // the last block is an exact-size copy (trimDecodedTail)
    uint64_t readPosition = 0;
    // The CRC-32 register over bytes 0 to crcThrough, kept as the decoders write in order, so
    // that judging the entry needs no second pass over its bytes. A write anywhere else (a gap,
    // a rewrite, a short write, a cut) stops it, and crcOfDecoded then reads the bytes again.
    uint32_t crcRegister = 0xFFFFFFFFu;
    uint64_t crcThrough = 0;
    bool crcInOrder = true;

    DecodedBytes() = default;
    ~DecodedBytes();
    DecodedBytes(const DecodedBytes&) = delete;
    DecodedBytes& operator=(const DecodedBytes&) = delete;
};

// The output the decoders write through: memory until the bound, then the temporary file.
EntryOutput decodedOutput(DecodedBytes& bytes);

// Replaces the last, partly used block with a copy of just its bytes, for bytes that wait a
// while to be read (a small entry then holds its size, not a whole block). Nothing more may be
// written until emptyDecoded.
void trimDecodedTail(DecodedBytes& bytes);
// The memory the bytes take (0 once they are in the temporary file).
uint64_t heldDecodedBytes(const DecodedBytes& bytes);

// Forgets every byte, for the entry to be decoded again from its start; false when the
// temporary file cannot be emptied.
bool emptyDecoded(DecodedBytes& bytes);

// How many bytes are held, or -1 when the temporary file's size cannot be had.
int64_t decodedSize(const DecodedBytes& bytes);

// The CRC-32 of every byte held (the running one when every write came in order); false when
// the temporary file cannot be read.
bool crcOfDecoded(DecodedBytes& bytes, uint32_t& crc);

// Starts a reading from the first byte and gives the input to read it through; false when the
// temporary file cannot be read from its start.
bool startReadingDecoded(DecodedBytes& bytes, StreamInput& input);

}  // namespace zipsalvage
