// listEntries: the scan for local headers, reading each header and passing over its data where
// the recorded size can be trusted to end at the next record.
#include "engine/run/entry_listing.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "core/little_endian.h"
#include "extract/data_descriptor.h"

namespace zipsalvage {
namespace {

constexpr uint32_t kCancelCheckBytes = 1u << 16;
// A descriptor is 12 to 24 bytes (APPNOTE 4.3.9); the longest and a signature behind it.
constexpr int kDescriptorForms[] = {kDescriptorSize32, kSignatureSize + kDescriptorSize32,
                                    kDescriptorSize64, kLongestDescriptor};
constexpr int kLongestLook = kLongestDescriptor + kSignatureSize;

// The bytes at `offset`, up to `count`; the reader is left wherever that took it.
int readAt(ArchiveReader& reader, int64_t offset, uint8_t* bytes, int count) {
    moveTo(reader, offset);
    return static_cast<int>(readUpTo(reader, bytes, count));
}

// The archive's size in bytes (the reader says 1 for an empty file, so that it can divide).
int64_t archiveEnd(ArchiveReader& reader) {
    if (!reader.parts.empty()) return static_cast<int64_t>(reader.archiveSize);
    int64_t size = fileSize(reader.archiveHandle);
    return size > 0 ? size : 0;
}

// True when data that ends at `dataEnd` is followed by another record, by a data descriptor
// and then another record (flag bit 3), or by the archive's end: the recorded size is then
// taken as the data's, and the walk passes over it.
bool endsAtARecord(ArchiveReader& reader, int64_t dataEnd, uint16_t flags) {
    int64_t end = archiveEnd(reader);
    if (dataEnd == end) return true;
    if (dataEnd > end) return false;
    uint8_t bytes[kLongestLook];
    int got = readAt(reader, dataEnd, bytes, kLongestLook);
    if (got >= kSignatureSize && startsZipRecord(bytes)) return true;
    if ((flags & kFlagDataDescriptor) == 0) return false;
    for (int length : kDescriptorForms) {
        if (got >= length + kSignatureSize && startsZipRecord(bytes + length)) return true;
        if (got == length && dataEnd + length == end) return true;
    }
    return false;
}

// The data descriptor that ends right at `recordAt` and whose compressed size is the count of
// bytes from `dataStart` to it, in any of its four forms (signature optional, 4- or 8-byte
// sizes). The size's agreement is what makes it the entry's.
bool descriptorEndingAt(ArchiveReader& reader, int64_t dataStart, int64_t recordAt,
                        ListedEntry& entry) {
    for (int length : kDescriptorForms) {
        int64_t start = recordAt - length;
        if (start < dataStart) continue;
        uint8_t bytes[kLongestDescriptor];
        if (readAt(reader, start, bytes, length) != length) continue;
        bool withSignature = loadLE32(bytes) == kDescriptorSignature;
        int signatureSize = withSignature ? kSignatureSize : 0;
        bool wide = length - signatureSize == kDescriptorSize64;
        if (length - signatureSize != (wide ? kDescriptorSize64 : kDescriptorSize32)) continue;
        const uint8_t* field = bytes + signatureSize;
        uint64_t compressed = wide ? loadLE64(field + kDescriptorCompressedSize)
                                   : loadLE32(field + kDescriptorCompressedSize);
        uint64_t uncompressed = wide ? loadLE64(field + kDescriptorUncompressedSize64)
                                     : loadLE32(field + kDescriptorUncompressedSize32);
        if (compressed != static_cast<uint64_t>(start - dataStart)) continue;
        entry.crc32 = loadLE32(field + kDescriptorCrc32);
        entry.sizes = EntrySizes{compressed, uncompressed};
        entry.sizesKnown = true;
        return true;
    }
    return false;
}

// Reads the header whose signature the reader just passed, at `offset`: true, with the reader
// behind its extra field (where the data begins), when the salvage would take it.
bool readListedHeader(ArchiveReader& reader, int64_t offset, ListedEntry& entry,
                      int64_t& dataStart) {
    LocalHeader header;
    storeLE32(header.bytes, kLocalHeaderSignature);
    if (!readExact(reader, header.bytes + kSignatureSize, kLocalHeaderSize - kSignatureSize))
        return false;
    uint16_t nameLength = headerField16(header, kLocalNameLength);
    entry.rawName.assign(nameLength, '\0');
    if (nameLength == 0 ||
        !readExact(reader, reinterpret_cast<uint8_t*>(entry.rawName.data()), nameLength)) {
        return false;
    }
    if (!headerIsPlausible(header, reinterpret_cast<const uint8_t*>(entry.rawName.data()),
                           nameLength)) {
        return false;
    }
    // A shortfall in the extra field is the archive's end: the fields read whole still count.
    std::vector<uint8_t> extra(headerField16(header, kLocalExtraLength));
    extra.resize(
        static_cast<size_t>(readUpTo(reader, extra.data(), static_cast<int64_t>(extra.size()))));
    entry.offset = offset;
    entry.method = headerField16(header, kLocalMethod);
    entry.flags = headerField16(header, kLocalFlags);
    entry.sizes = recordedSizes(header, extra.data(), extra.size());
    entry.crc32 = headerField32(header, kLocalCrc32);
    entry.sizesKnown = true;
    dataStart = logicalPosition(reader);
    return true;
}

// A streaming writer records the sizes after the data (flag bit 3 with no sizes in the local
// header, APPNOTE 4.4.4).
bool sizesFollowData(const ListedEntry& entry) {
    return (entry.flags & kFlagDataDescriptor) != 0 &&
           (entry.sizes.compressed == 0 || entry.sizes.compressed == kZip64Marker32);
}

struct Walk {
    ArchiveReader& reader;
    void (*found)(void* context, const ListedEntry& entry);
    void* context;
    // An entry whose sizes follow its data waits for the next record, in front of which its
    // descriptor would stand.
    bool pending = false;
    ListedEntry pendingEntry;
    int64_t pendingDataStart = 0;
};

void settlePending(Walk& walk, int64_t recordAt) {
    if (!walk.pending) return;
    walk.pending = false;
    if (!descriptorEndingAt(walk.reader, walk.pendingDataStart, recordAt, walk.pendingEntry)) {
        walk.pendingEntry.sizesKnown = false;
    }
    walk.found(walk.context, walk.pendingEntry);
}

// A local header's signature was just passed at `offset`; the reader is left where the walk
// goes on.
void takeLocalHeader(Walk& walk, int64_t offset) {
    ListedEntry entry;
    int64_t dataStart = 0;
    if (!readListedHeader(walk.reader, offset, entry, dataStart)) {
        moveTo(walk.reader, offset + kSignatureSize);
        return;
    }
    if (sizesFollowData(entry)) {
        walk.pending = true;
        walk.pendingEntry = std::move(entry);
        walk.pendingDataStart = dataStart;
        return;
    }
    walk.found(walk.context, entry);
    // Saturating: a damaged Zip64 size may be anything.
    uint64_t dataEnd = static_cast<uint64_t>(dataStart) + entry.sizes.compressed;
    bool passOver = dataEnd >= static_cast<uint64_t>(dataStart) &&
                    dataEnd <= static_cast<uint64_t>(INT64_MAX) &&
                    endsAtARecord(walk.reader, static_cast<int64_t>(dataEnd), entry.flags);
    moveTo(walk.reader, passOver ? static_cast<int64_t>(dataEnd) : dataStart);
}

}  // namespace

ListingResult listEntries(ArchiveReader& reader, const RunFlags& flags,
                          void (*found)(void* context, const ListedEntry& entry), void* context) {
    Walk walk{reader, found, context, false, ListedEntry{}, 0};
    moveTo(reader, 0);
    // 0: no signature under way; 1, 2: "P" and "PK" read; 3: "PK" and one more byte.
    int state = 0;
    uint8_t third = 0;
    uint32_t sinceCancelCheck = 0;
    uint8_t byte = 0;
    while (true) {
        if (state == 0) {
            sinceCancelCheck += static_cast<uint32_t>(skipBufferedUntilPair(reader, 0x50, 0x4B));
        }
        if (!readByte(reader, byte)) break;
        if (++sinceCancelCheck >= kCancelCheckBytes) {
            sinceCancelCheck = 0;
            if (isCancelled(flags)) return ListingResult::kCancelled;
        }
        // "P" is tested first in every state, so "PPK\3\4" and "PK\3PK\3\4" are found.
        if (byte == 0x50) {
            state = 1;
            continue;
        }
        if (state == 1 || state == 2) {
            if (state == 1) {
                state = byte == 0x4B ? 2 : 0;
            } else {
                third = byte;
                state = 3;
            }
            continue;
        }
        if (state != 3) continue;
        state = 0;
        int64_t recordAt = logicalPosition(reader) - kSignatureSize;
        bool local = third == 0x03 && byte == 0x04;
        bool otherRecord = (third == 0x01 && byte == 0x02) || (third == 0x05 && byte == 0x06) ||
                           (third == 0x06 && byte == 0x06) || (third == 0x05 && byte == 0x05);
        if (!local && !otherRecord) continue;
        if (walk.pending) {
            settlePending(walk, recordAt);
            moveTo(reader, recordAt + kSignatureSize);
        }
        if (local) takeLocalHeader(walk, recordAt);
    }
    settlePending(walk, archiveEnd(reader));
    return ListingResult::kListed;
}

}  // namespace zipsalvage
