// The buffered reader of the damaged archive: one byte at a time from a 256 KiB buffer, with
// a short step back, a resume mark and a progress report every 10,000 bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace zipsalvage {

// One read() per 256 KiB: the scan then runs at the speed of the disk, not of the system calls.
inline constexpr int32_t kReaderBufferBytes = 256 * 1024;
// What a read error costs: the failed block is read again in pieces of this size, and only
// the pieces that still fail are passed over, so a bad sector loses no more than before the
// reads grew.
inline constexpr int32_t kUnreadableStepBytes = 1000;
inline constexpr int32_t kProgressEveryBytes = 10000;

// One part of a split archive: where its bytes begin in the archive read as one. A missing part
// has no handle and no bytes.
struct ArchivePart {
    std::string path;
    FileHandle handle = kInvalidFile;
    uint64_t start = 0;
    uint64_t size = 0;
};

struct ArchiveReader {
    FileHandle archiveHandle = kInvalidFile;
    // A split archive's parts, in order (archiveHandle is then the part given, and every read
    // goes through the parts); empty for an archive of one file.
    std::vector<ArchivePart> parts;
    uint64_t archiveSize = 1;  // 1 for an empty file, so that it can divide
    // kReaderBufferBytes, allocated by the first read (a reader that never reads costs nothing).
    std::vector<uint8_t> buffer;
    int32_t fill = 0;
    int32_t position = 0;
    int64_t bufferStart = 0;
    uint64_t deliveredCount = 0;  // for progress only; re-based after a seek
    int32_t progressTick = 0;
    int64_t resumePoint = 0;
    int64_t fileOffset = 0;  // the handle's position: only the reader moves it
    void (*progress)(void* context, int thousandths) = nullptr;
    void* progressContext = nullptr;
};

// The slow half of readByte: refills the buffer, delivers a byte if there is one.
bool refillAndReadByte(ArchiveReader& reader, uint8_t& byte);
// Sends the progress value for the current deliveredCount.
void reportProgress(ArchiveReader& reader);
// Progress in thousandths for `delivered` of `size` bytes.
int progressThousandths(uint64_t delivered, uint64_t size);

inline bool readByte(ArchiveReader& reader, uint8_t& byte) {
    if (reader.position >= reader.fill) return refillAndReadByte(reader, byte);
    byte = reader.buffer[static_cast<size_t>(reader.position++)];
    ++reader.deliveredCount;
    if (++reader.progressTick >= kProgressEveryBytes) reportProgress(reader);
    return true;
}

// Passes over buffered bytes up to the next `wanted` byte, as readByte would deliver them
// (counts and progress included), without crossing a refill or a progress report. Returns the
// number of bytes passed over; 0 when the next byte is `wanted` or the buffer is used up.
int32_t skipBufferedUntil(ArchiveReader& reader, uint8_t wanted);
// The same up to the next `first` followed by `second` (findBytePair): a `first` whose follower
// is not buffered yet is not passed over.
int32_t skipBufferedUntilPair(ArchiveReader& reader, uint8_t first, uint8_t second);

// True when all `count` bytes were delivered; bytes delivered before a failure stay consumed.
bool readExact(ArchiveReader& reader, uint8_t* destination, int64_t count);
// The number of bytes delivered, 0 to count.
int64_t readUpTo(ArchiveReader& reader, uint8_t* destination, int64_t count);
// True when `count` bytes were passed over.
bool skipBytes(ArchiveReader& reader, int64_t count);
// Moves the logical position back `count` bytes (re-reading when they left the buffer).
void stepBack(ArchiveReader& reader, int32_t count);
void markResume(ArchiveReader& reader);
// Makes `offset` the logical position, re-reading from the file: exact at any distance.
void moveTo(ArchiveReader& reader, int64_t offset);
void rewindToMark(ArchiveReader& reader);
// Drops the buffered bytes, for when the reader is given another file: the next move reads.
void forgetBuffer(ArchiveReader& reader);
// Reads up to `count` bytes at `offset` of the archive (of its parts, for a split one), without
// moving the reader's logical position; fewer at the end or on a read error.
uint32_t readArchiveAt(ArchiveReader& reader, uint64_t offset, uint8_t* into, uint32_t count);
// File offset of the next byte the reader delivers.
int64_t logicalPosition(const ArchiveReader& reader);

}  // namespace zipsalvage
