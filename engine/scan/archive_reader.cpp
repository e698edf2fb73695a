// ArchiveReader: forward reads cost one read() per 256 KiB; seeks only on step-back/rewind.
#include "engine/scan/archive_reader.h"

#include <cstring>

#include "engine/scan/pair_search.h"

namespace zipsalvage {
namespace {

// One read within the part that holds `offset`: at most up to its end, so that the next read
// goes on in the next part. Nothing from a missing part: the bytes after it follow at once.
uint32_t readPartsAt(ArchiveReader& reader, uint64_t offset, uint8_t* into, uint32_t count) {
    for (const ArchivePart& part : reader.parts) {
        if (part.size == 0 || offset >= part.start + part.size) continue;
        if (offset < part.start) return 0;
        uint64_t left = part.start + part.size - offset;
        uint32_t wanted = left < count ? static_cast<uint32_t>(left) : count;
        if (!seekFile(part.handle, static_cast<int64_t>(offset - part.start))) return 0;
        return readFile(part.handle, into, wanted);
    }
    return 0;
}

// One read of up to `count` bytes at `offset` into the buffer. It seeks first: one lseek per
// block is nothing beside the read, and whatever else moved the handle cannot shift the bytes.
int32_t readBlock(ArchiveReader& reader, int64_t offset, int32_t count) {
    if (reader.buffer.size() < static_cast<size_t>(kReaderBufferBytes)) {
        reader.buffer.resize(static_cast<size_t>(kReaderBufferBytes));
    }
    uint32_t wanted = static_cast<uint32_t>(count);
    if (!reader.parts.empty()) {
        return static_cast<int32_t>(
            readPartsAt(reader, static_cast<uint64_t>(offset), reader.buffer.data(), wanted));
    }
    if (!seekFile(reader.archiveHandle, offset)) return 0;
    return static_cast<int32_t>(readFile(reader.archiveHandle, reader.buffer.data(), wanted));
}

void loadBufferAt(ArchiveReader& reader, int64_t offset) {
    reader.bufferStart = offset;
    reader.fill = readBlock(reader, offset, kReaderBufferBytes);
    reader.fileOffset = offset + reader.fill;
    reader.position = 0;
    reader.deliveredCount = static_cast<uint64_t>(offset);
}

// Entries are read, judged and looked at again from offsets just read: a move within the bytes
// in the buffer costs no read.
bool moveWithinBuffer(ArchiveReader& reader, int64_t offset) {
    if (offset < reader.bufferStart || offset >= reader.bufferStart + reader.fill) return false;
    reader.position = static_cast<int32_t>(offset - reader.bufferStart);
    reader.deliveredCount = static_cast<uint64_t>(offset);
    return true;
}

}  // namespace

int progressThousandths(uint64_t delivered, uint64_t size) {
    if (size == 0) size = 1;
    uint64_t value =
        size <= 1000000 ? delivered * 1000 / size : (delivered / 1000) * 1000 / (size / 1000);
    return static_cast<int>(value > 1000 ? 1000 : value);
}

void reportProgress(ArchiveReader& reader) {
    reader.progressTick = 0;
    if (reader.progress != nullptr) {
        reader.progress(reader.progressContext,
                        progressThousandths(reader.deliveredCount, reader.archiveSize));
    }
}

bool refillAndReadByte(ArchiveReader& reader, uint8_t& byte) {
    if (reader.archiveHandle == kInvalidFile) return false;
    bool retried = false;
    // After a failed read the block is read in small pieces until one succeeds, so that only
    // the unreadable pieces are lost; the next refill reads a whole block again.
    int32_t count = kReaderBufferBytes;
    while (reader.position >= reader.fill) {
        reader.bufferStart = reader.fileOffset;
        reader.fill = readBlock(reader, reader.fileOffset, count);
        reader.fileOffset += reader.fill;
        reader.position = 0;
        if (reader.fill > 0) break;
        reader.fill = 0;
        // Nothing read before the archive's end is a read error, not the end: the read is tried
        // once more, then the unreadable piece is passed over and the scan goes on behind it,
        // rather than ending the run as if the archive ended there.
        if (static_cast<uint64_t>(reader.fileOffset) >= reader.archiveSize) return false;
        if (count == kReaderBufferBytes) {
            count = kUnreadableStepBytes;
            retried = true;  // the small read is the second try of the failed place
            continue;
        }
        int64_t next = reader.fileOffset + (retried ? kUnreadableStepBytes : 0);
        retried = !retried;
        reader.fileOffset = next;
        reader.deliveredCount = static_cast<uint64_t>(next);
    }
    return readByte(reader, byte);
}

namespace {

// How many buffered bytes a skip may pass over: up to the end of the buffer, and short of the
// byte that sends the next progress report (that byte goes through readByte).
int32_t skippableBytes(const ArchiveReader& reader) {
    int32_t available = reader.fill - reader.position;
    int32_t room = kProgressEveryBytes - reader.progressTick - 1;
    return available < room ? available : room;
}

int32_t passOver(ArchiveReader& reader, int32_t skipped) {
    reader.position += skipped;
    reader.deliveredCount += static_cast<uint64_t>(skipped);
    reader.progressTick += skipped;
    return skipped;
}

}  // namespace

int32_t skipBufferedUntil(ArchiveReader& reader, uint8_t wanted) {
    int32_t limit = skippableBytes(reader);
    if (limit <= 0) return 0;
    const uint8_t* start = reader.buffer.data() + reader.position;
    const void* found = std::memchr(start, wanted, static_cast<size_t>(limit));
    return passOver(reader, found == nullptr
                                ? limit
                                : static_cast<int32_t>(static_cast<const uint8_t*>(found) - start));
}

int32_t skipBufferedUntilPair(ArchiveReader& reader, uint8_t first, uint8_t second) {
    int32_t limit = skippableBytes(reader);
    if (limit <= 0) return 0;
    const uint8_t* start = reader.buffer.data() + reader.position;
    size_t found = findBytePair(start, static_cast<size_t>(limit), first, second);
    return passOver(reader, static_cast<int32_t>(found));
}

bool readExact(ArchiveReader& reader, uint8_t* destination, int64_t count) {
    return readUpTo(reader, destination, count) == count;
}

int64_t readUpTo(ArchiveReader& reader, uint8_t* destination, int64_t count) {
    int64_t delivered = 0;
    while (delivered < count) {
        // Whole runs straight out of the buffer; readByte only at the edges.
        int64_t inBuffer = reader.fill - reader.position;
        int64_t room = kProgressEveryBytes - reader.progressTick - 1;
        int64_t run = count - delivered;
        if (run > inBuffer) run = inBuffer;
        if (run > room) run = room;
        if (run > 0) {
            std::memcpy(destination + delivered, reader.buffer.data() + reader.position,
                        static_cast<size_t>(run));
            reader.position += static_cast<int32_t>(run);
            reader.deliveredCount += static_cast<uint64_t>(run);
            reader.progressTick += static_cast<int32_t>(run);
            delivered += run;
            continue;
        }
        if (!readByte(reader, destination[delivered])) break;
        ++delivered;
    }
    return delivered;
}

bool skipBytes(ArchiveReader& reader, int64_t count) {
    uint8_t byte = 0;
    for (int64_t index = 0; index < count; ++index) {
        if (!readByte(reader, byte)) return false;
    }
    return true;
}

void stepBack(ArchiveReader& reader, int32_t count) {
    if (reader.archiveHandle == kInvalidFile) return;
    if (reader.position >= count) {
        reader.position -= count;
        return;
    }
    int64_t target = reader.bufferStart + reader.position - count;
    loadBufferAt(reader, target < 0 ? 0 : target);
}

uint32_t readArchiveAt(ArchiveReader& reader, uint64_t offset, uint8_t* into, uint32_t count) {
    uint32_t total = 0;
    if (!reader.parts.empty()) {
        while (total < count) {
            uint32_t got = readPartsAt(reader, offset + total, into + total, count - total);
            if (got == 0) break;
            total += got;
        }
    } else if (seekFile(reader.archiveHandle, static_cast<int64_t>(offset))) {
        while (total < count) {
            uint32_t got = readFile(reader.archiveHandle, into + total, count - total);
            if (got == 0) break;
            total += got;
        }
    }
    // The reader's own reads go on where its handle stood.
    if (reader.parts.empty()) seekFile(reader.archiveHandle, reader.fileOffset);
    return total;
}

int64_t logicalPosition(const ArchiveReader& reader) {
    int64_t position = reader.fileOffset - reader.fill + reader.position;
    return position < 0 ? 0 : position;
}

void moveTo(ArchiveReader& reader, int64_t offset) {
    if (reader.archiveHandle == kInvalidFile) return;
    if (offset < 0) offset = 0;
    if (!moveWithinBuffer(reader, offset)) loadBufferAt(reader, offset);
}

void markResume(ArchiveReader& reader) { reader.resumePoint = logicalPosition(reader); }

void rewindToMark(ArchiveReader& reader) {
    if (reader.archiveHandle == kInvalidFile) return;
    if (!moveWithinBuffer(reader, reader.resumePoint)) loadBufferAt(reader, reader.resumePoint);
}

void forgetBuffer(ArchiveReader& reader) {
    reader.fill = 0;
    reader.position = 0;
    reader.bufferStart = reader.fileOffset;
}

}  // namespace zipsalvage
