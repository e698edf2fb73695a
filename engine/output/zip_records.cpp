// Reading the sizes and plausibility of a found header; building the central directory header,
// the end record and their Zip64 companions from what the entries recorded.
#include "engine/output/zip_records.h"

#include <cstring>

#include "engine/scan/entry_names.h"

namespace zipsalvage {
namespace {

bool isControlByte(uint8_t byte) { return byte < 0x20 || byte == 0x7F; }

}  // namespace

bool methodIsListed(uint16_t method) {
    // APPNOTE 4.4.5: 0..20 (some reserved) and 93..99.
    return method <= 20 || (method >= 93 && method <= 99);
}

EntrySizes recordedSizes(const LocalHeader& header, const uint8_t* extra, size_t extraLength) {
    EntrySizes sizes{headerField32(header, kLocalCompressedSize),
                     headerField32(header, kLocalUncompressedSize)};
    bool wantUncompressed = sizes.uncompressed == kZip64Marker32;
    bool wantCompressed = sizes.compressed == kZip64Marker32;
    if (!wantUncompressed && !wantCompressed) return sizes;
    size_t at = 0;
    while (at + kExtraFieldHeaderSize <= extraLength) {
        uint16_t id = loadLE16(extra + at);
        size_t dataSize = loadLE16(extra + at + kExtraFieldDataSize);
        const uint8_t* data = extra + at + kExtraFieldHeaderSize;
        size_t available = extraLength - at - kExtraFieldHeaderSize;
        if (dataSize > available) dataSize = available;  // a cut extra field: take what is there
        if (id == kExtraZip64) {
            // The local header's Zip64 extra holds the uncompressed then the compressed size,
            // both of them (APPNOTE 4.5.3). Leniency: a shorter one holds the marked fields in
            // that order.
            size_t next = 0;
            bool holdsBoth = dataSize >= 2 * kZip64ValueSize;
            if (wantUncompressed && next + kZip64ValueSize <= dataSize)
                sizes.uncompressed = loadLE64(data);
            if (wantUncompressed || holdsBoth) next += kZip64ValueSize;
            if (wantCompressed && next + kZip64ValueSize <= dataSize)
                sizes.compressed = loadLE64(data + next);
            return sizes;
        }
        at += kExtraFieldHeaderSize + dataSize;
    }
    return sizes;
}

bool headerIsPlausible(const LocalHeader& header, const uint8_t* name, size_t nameLength) {
    const bool listed = methodIsListed(headerField16(header, kLocalMethod));
    // An empty name is a writer's (a stream with no name): taken where the method is real.
    if (nameLength == 0) return listed;
    if (nameLength <= static_cast<size_t>(kShortNameLength)) return true;
    bool anyZero = false;
    bool anyOtherControl = false;
    for (size_t index = 0; index < nameLength; ++index) {
        anyZero = anyZero || name[index] == 0;
        anyOtherControl = anyOtherControl || (name[index] != 0 && isControlByte(name[index]));
    }
    // A zero byte is taken only in a name that otherwise reads like one: random bytes after a
    // false signature (a program's code, say) hold control characters or are no UTF-8.
    if (anyZero) return listed && !anyOtherControl && isValidUtf8(name, nameLength);
    return !anyOtherControl || listed;
}

bool nameLooksReal(const uint8_t* name, size_t nameLength) {
    if (nameLength == 0) return false;
    for (size_t index = 0; index < nameLength; ++index) {
        if (name[index] != 0 && isControlByte(name[index])) return false;
    }
    return true;
}

void settleLocalSizes(SalvagedEntry& entry) {
    LocalHeader& header = entry.header;
    if (entry.zip64Local) {
        setHeaderField32(header, kLocalCompressedSize, kZip64Marker32);
        setHeaderField32(header, kLocalUncompressedSize, kZip64Marker32);
    } else {
        setHeaderField32(header, kLocalCompressedSize,
                         static_cast<uint32_t>(entry.sizes.compressed));
        setHeaderField32(header, kLocalUncompressedSize,
                         static_cast<uint32_t>(entry.sizes.uncompressed));
    }
    // Version 4.5 in both headers of an entry that uses Zip64 anywhere, its offset included;
    // a higher version (a copied entry's method) stays.
    bool zip64 = entry.zip64Local || needsZip64(entry.headerOffset);
    if (zip64 && headerField16(header, kLocalVersionNeeded) < kVersionZip64)
        setHeaderField16(header, kLocalVersionNeeded, kVersionZip64);
}

int buildLocalZip64Extra(const SalvagedEntry& entry, uint8_t* extra) {
    if (!entry.zip64Local) return 0;
    storeLE16(extra, kExtraZip64);
    storeLE16(extra + kExtraFieldDataSize, kZip64LocalExtraSize - kExtraFieldHeaderSize);
    storeLE64(extra + kExtraFieldHeaderSize, entry.sizes.uncompressed);
    storeLE64(extra + kExtraFieldHeaderSize + kZip64ValueSize, entry.sizes.compressed);
    return kZip64LocalExtraSize;
}

namespace {

// A local header with the Zip64 extra makes its central header carry the sizes the same way.
bool centralSizesNeedZip64(const SalvagedEntry& entry) {
    return entry.zip64Local || needsZip64(entry.sizes.compressed) ||
           needsZip64(entry.sizes.uncompressed);
}

}  // namespace

int buildCentralZip64Extra(const SalvagedEntry& entry, uint8_t* extra) {
    int length = kExtraFieldHeaderSize;
    if (centralSizesNeedZip64(entry)) {
        // Both sizes, as the local header has them, so the two headers tell the same story.
        storeLE64(extra + length, entry.sizes.uncompressed);
        storeLE64(extra + length + kZip64ValueSize, entry.sizes.compressed);
        length += 2 * kZip64ValueSize;
    }
    if (needsZip64(entry.headerOffset)) {
        storeLE64(extra + length, entry.headerOffset);
        length += kZip64ValueSize;
    }
    if (length == kExtraFieldHeaderSize) return 0;
    storeLE16(extra, kExtraZip64);
    storeLE16(extra + kExtraFieldDataSize, static_cast<uint16_t>(length - kExtraFieldHeaderSize));
    return length;
}

void buildCentralHeader(const SalvagedEntry& entry, uint16_t extraLength, uint8_t* image) {
    std::memset(image, 0, kCentralHeaderSize);
    storeLE32(image, kCentralHeaderSignature);
    const LocalHeader& header = entry.header;
    const EntryMetadata& metadata = entry.metadata;
    bool zip64Sizes = centralSizesNeedZip64(entry);
    bool zip64 = zip64Sizes || needsZip64(entry.headerOffset);
    // Made by: what the damaged archive's directory said (host system and its attributes), or
    // MS-DOS, format 2.0 (4.5 with Zip64).
    uint16_t ownVersion = zip64 ? kVersionZip64 : kVersionWritten;
    storeLE16(image + kCentralVersionMadeBy,
              metadata.witnessed ? metadata.versionMadeBy : ownVersion);
    storeLE16(image + kCentralVersionNeeded, headerField16(header, kLocalVersionNeeded));
    storeLE16(image + kCentralFlags, headerField16(header, kLocalFlags));
    storeLE16(image + kCentralMethod, headerField16(header, kLocalMethod));
    storeLE16(image + kCentralModTime, headerField16(header, kLocalModTime));
    storeLE16(image + kCentralModDate, headerField16(header, kLocalModDate));
    storeLE32(image + kCentralCrc32, headerField32(header, kLocalCrc32));
    storeLE32(image + kCentralCompressedSize,
              zip64Sizes ? kZip64Marker32 : static_cast<uint32_t>(entry.sizes.compressed));
    storeLE32(image + kCentralUncompressedSize,
              zip64Sizes ? kZip64Marker32 : static_cast<uint32_t>(entry.sizes.uncompressed));
    uint16_t nameLength = headerField16(header, kLocalNameLength);
    storeLE16(image + kCentralNameLength, nameLength);
    storeLE16(image + kCentralExtraLength, extraLength);
    storeLE16(image + kCentralCommentLength, static_cast<uint16_t>(metadata.comment.size()));
    // Disk number and internal attributes stay 0.
    bool isFolder =
        nameLength > 0 && entry.name[nameLength - 1] == '/' && entry.sizes.uncompressed == 0;
    uint32_t attributes = isFolder ? kDirectoryAttribute : 0;
    // A folder stays one even where the directory's attributes left the MS-DOS bit clear.
    if (metadata.witnessed) attributes |= metadata.externalAttributes;
    storeLE32(image + kCentralExternalAttributes, attributes);
    storeLE32(image + kCentralLocalHeaderOffset, needsZip64(entry.headerOffset)
                                                     ? kZip64Marker32
                                                     : static_cast<uint32_t>(entry.headerOffset));
}

bool needsZip64End(const DirectoryExtent& directory) {
    // A count of exactly 0xFFFF would read as the marker, so it takes Zip64 too.
    return directory.entryCount >= kZip64Marker16 || needsZip64(directory.size) ||
           needsZip64(directory.offset) || needsZip64(directory.offset + directory.size);
}

void buildEndRecord(const DirectoryExtent& directory, uint8_t* image) {
    std::memset(image, 0, kEndRecordSize);
    storeLE32(image, kEndRecordSignature);
    bool zip64 = needsZip64End(directory);
    auto count = zip64 ? kZip64Marker16 : static_cast<uint16_t>(directory.entryCount);
    storeLE16(image + kEndDiskEntries, count);
    storeLE16(image + kEndTotalEntries, count);
    storeLE32(image + kEndDirectorySize,
              zip64 ? kZip64Marker32 : static_cast<uint32_t>(directory.size));
    storeLE32(image + kEndDirectoryOffset,
              zip64 ? kZip64Marker32 : static_cast<uint32_t>(directory.offset));
}

void buildZip64EndRecord(const DirectoryExtent& directory, uint8_t* image) {
    std::memset(image, 0, kZip64EndRecordSize);
    storeLE32(image, kZip64EndRecordSignature);
    storeLE64(image + kZip64EndRecordLength, kZip64EndLengthCounted);
    storeLE16(image + kZip64EndVersionMadeBy, kVersionZip64);
    storeLE16(image + kZip64EndVersionNeeded, kVersionZip64);
    // The disk numbers stay 0.
    storeLE64(image + kZip64EndDiskEntries, directory.entryCount);
    storeLE64(image + kZip64EndTotalEntries, directory.entryCount);
    storeLE64(image + kZip64EndDirectorySize, directory.size);
    storeLE64(image + kZip64EndDirectoryOffset, directory.offset);
}

void buildZip64Locator(uint64_t zip64EndOffset, uint8_t* image) {
    std::memset(image, 0, kZip64LocatorSize);
    storeLE32(image, kZip64LocatorSignature);
    // The disk of the Zip64 end record stays 0.
    storeLE64(image + kLocatorEndOffset, zip64EndOffset);
    storeLE32(image + kLocatorTotalDisks, 1);
}

}  // namespace zipsalvage
